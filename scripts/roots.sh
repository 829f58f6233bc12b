# Minimal Debian roots for chroot runs: sourced by scripts/test.sh
# (--debian13) and scripts/package.sh (--test), with $root set to the
# source tree. Needs root and debootstrap (scripts/setup.sh --roots).
#
# Roots live in roots/ of the tree (ignored by git): RELEASE-base is the
# pristine debootstrap --variant=minbase root, made once and only ever
# copied; the callers work in copies of it. Debian's archive is the one this
# machine's apt configuration names for its own release.
#
# Every mount made through root_mount is undone when the calling script
# ends, on success, failure, Ctrl-C or SIGTERM. A root is only removed or
# copied while nothing is mounted under it, and rm never crosses into
# another file system, so /dev and /proc of this machine stay untouched
# whatever happens.

roots_dir="$root/roots"
root_mounts=()
root_cleanup_paths=()

# Unmounts everything root_mount mounted, last first (lazily where a process
# still holds it), and removes the paths listed in root_cleanup_paths.
root_cleanup() {
  local i m
  for ((i = ${#root_mounts[@]} - 1; i >= 0; i--)); do
    m=${root_mounts[i]}
    if mountpoint -q "$m"; then umount "$m" 2>/dev/null || umount -l "$m"; fi
  done
  root_mounts=()
  for m in "${root_cleanup_paths[@]}"; do rm -rf --one-file-system "$m"; done
  root_cleanup_paths=()
}
trap root_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Fails unless nothing is mounted on or under the directory $1.
root_not_mounted() {
  local dir
  dir=$(realpath -m "$1")
  if awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
    echo "roots: $dir has mounts under it; not touching it" >&2
    return 1
  fi
}

# Removes the root $1, if there is one.
root_remove() {
  root_not_mounted "$1"
  rm -rf --one-file-system "$1"
}

# Prints the address of the Debian archive that this machine's apt
# configuration uses for its own release (sources.list and sources.list.d,
# one-line and deb822 files alike, as apt itself reads them).
debian_mirror() {
  local codename mirror
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(apt-get --print-uris update 2>/dev/null |
           sed -n "s|^'\\(.*\\)/dists/$codename/InRelease'.*|\\1|p" | head -n 1)
  if [ -z "$codename" ] || [ -z "$mirror" ]; then
    echo "roots: no Debian archive for release '${codename}' in the apt configuration" >&2
    return 1
  fi
  echo "$mirror"
}

# Prints the path of the pristine root of the Debian release $1 (a code
# name: bookworm, trixie), making it with debootstrap the first time.
base_root() {
  local release=$1 dir="$roots_dir/$1-base" mirror start=$SECONDS
  if [ ! -d "$dir" ]; then
    mirror=$(debian_mirror)
    echo "roots: making a minimal $release root from $mirror" >&2
    mkdir -p "$roots_dir"
    root_remove "$dir.new"
    root_cleanup_paths+=("$dir.new")
    debootstrap --variant=minbase "$release" "$dir.new" "$mirror" >"$roots_dir/$release-base.log" 2>&1 || {
      echo "roots: debootstrap $release failed; its log:" >&2
      tail -n 20 "$roots_dir/$release-base.log" >&2
      return 1
    }
    mv "$dir.new" "$dir"
    echo "roots: $release root made in $((SECONDS - start)) s" >&2
  fi
  echo "$dir"
}

# Replaces the directory $2 with a copy of the root $1.
root_copy() {
  root_not_mounted "$1"
  root_remove "$2"
  cp -a "$1" "$2"
}

# Mounts /proc, this machine's /dev and a pseudo-terminal file system of its
# own in the root $1, for root_cleanup to undo. The /dev mount is made
# private first, so that the one on its pts/ never shows outside the root.
# The root gets this machine's name servers as they are now (apt-get there
# reaches the archive like apt-get here).
root_mount() {
  local dir
  dir=$(realpath "$1")
  if [ -e /etc/resolv.conf ]; then cp -L /etc/resolv.conf "$dir/etc/resolv.conf"; fi
  mount -t proc proc "$dir/proc"
  root_mounts+=("$dir/proc")
  mount --bind /dev "$dir/dev"
  root_mounts+=("$dir/dev")
  mount --make-private "$dir/dev"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$dir/dev/pts"
  root_mounts+=("$dir/dev/pts")
}

# Undoes root_mount for the root $1 now, last mount first (the other roots
# stay mounted).
root_unmount() {
  local dir i m kept=()
  dir=$(realpath "$1")
  for ((i = ${#root_mounts[@]} - 1; i >= 0; i--)); do
    m=${root_mounts[i]}
    if [ "${m#"$dir"/}" != "$m" ]; then umount "$m" 2>/dev/null || umount -l "$m"; else kept=("$m" "${kept[@]}"); fi
  done
  root_mounts=("${kept[@]}")
}

# Runs the command $2... in the root $1 as root, with a plain environment.
in_root() {
  local dir=$1
  shift
  chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

# Prints the result file $1 with its time line (line 3) replaced by a
# placeholder: the rest of two runs' files must be equal byte for byte.
without_time_line() {
  awk 'NR == 3 && /^ Pi Computation,  Time\(s\)= [0-9]+\.[0-9]+ $/ { print " (time line)"; next } { print }' "$1"
}

# Copies the files git knows of in this tree (committed or not, ignored ones
# left out) into the directory $1.
export_tree() {
  mkdir -p "$1"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' f; do if [ -e "$f" ]; then printf '%s\0' "$f"; fi; done |
     tar --null -T - -cf -) | tar -C "$1" -xf -
}

# Makes the Debian 13 root roots/trixie-build/ (once), copies this tree
# into its /root/atanpi, where the build trees (build*/) of earlier runs are
# kept, and mounts what it needs; sets trixie to its path.
prepare_debian13_root() {
  local base
  "$root/scripts/setup.sh" --roots
  trixie="$roots_dir/trixie-build"
  base=$(base_root trixie)
  if [ ! -d "$trixie" ]; then
    root_copy "$base" "$trixie.new"
    mv "$trixie.new" "$trixie"
  fi
  root_not_mounted "$trixie"
  if [ -d "$trixie/root/atanpi" ]; then
    find "$trixie/root/atanpi" -mindepth 1 -maxdepth 1 ! -name 'build*' -exec rm -rf --one-file-system {} +
  fi
  export_tree "$trixie/root/atanpi"
  # Some tests run the programs as the user nobody: root's home lets them
  # through to the tree (search only, as the tree's own folders do).
  chmod o+x "$trixie/root"
  root_mount "$trixie"
}

# Runs the command $2... in the root $1 from the directory that is the
# current one here, which must lie in the root; arguments that are paths
# in the root are passed as the root sees them.
run_in_root() {
  local dir arg args=()
  dir=$(realpath "$1")
  shift
  for arg in "$@"; do args+=("${arg#"$dir"}"); done
  in_root "$dir" sh -c 'cd "$1" && shift && exec "$@"' sh "$(pwd -P | sed "s|^$dir||")" "${args[@]}"
}
