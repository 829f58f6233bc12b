# Reads `objdump -d -C` of an x86-64 program and prints each function that
# uses more than the baseline instruction set (SSE2) outside the kernels,
# which Highway compiles once per target in namespaces N_SSE4, N_AVX2 and
# N_AVX3...; exits 1 if there is one. More than the baseline is any VEX or
# EVEX instruction (a mnemonic starting with v, or ymm, zmm or mask
# registers: AVX and later) and the mnemonics of SSE4.1, SSE4.2, POPCNT,
# LZCNT, BMI1, BMI2 and MOVBE. TZCNT is not among them: it is what objdump
# calls the REP BSF that compilers emit for baseline processors, which run
# it as BSF.
BEGIN {
  beyond = "^(round[sp][sd]|pmulld|ptest|pblendvb|blendvp[sd]|blendp[sd]|pblendw|pextr[bdq]|pinsr[bdq]|" \
           "pmax(s[bd]|u[wd])|pmin(s[bd]|u[wd])|pcmp(eq|gt)q|pcmp[ei]str[im]|crc32[bwlq]?|dpp[sd]|insertps|" \
           "extractps|pmov[sz]x[bwd][wdq]|packusdw|mpsadbw|phminposuw|pmuldq|movntdqa|popcnt|lzcnt|andn|" \
           "bextr|bls[ir]|blsmsk|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|movbe)$"
}
/^[0-9a-f]+ <.*>:$/ { fn = $0; sub(/^[0-9a-f]+ </, "", fn); sub(/>:$/, "", fn); next }
/^ +[0-9a-f]+:\t/ {
  split($0, field, "\t"); mnemonic = field[2]; sub(/ .*/, "", mnemonic)
  if (field[2] ~ /%[yz]mm|%k[0-7]/ || mnemonic ~ /^v/ || mnemonic ~ beyond) first[fn] = mnemonic
}
END {
  for (fn in first) if (fn !~ /::N_(SSE4|AVX2|AVX3[A-Z0-9_]*)::/) { print first[fn] " in " fn; found = 1 }
  exit found
}
