#!/bin/sh
# Formats the manual pages in DOC_DIR with man -l and fails on any formatter
# warning, a missing section or a missing example. Exits 77 (skipped) where
# man is not installed.
set -eu
doc=$1
if ! command -v man >/dev/null 2>&1; then
  echo "man is not installed: manual pages not checked"
  exit 77
fi
err=$(mktemp)
trap 'rm -f "$err"' EXIT
status=0

check_page() {
  page=$doc/$1
  shift
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$err") || {
    echo "$page: man failed"; cat "$err"; status=1; return; }
  if [ -s "$err" ]; then
    echo "$page: formatter warnings:"; cat "$err"; status=1
  fi
  for section in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    printf '%s\n' "$text" | grep -qx "$section" || { echo "$page: no $section section"; status=1; }
  done
  for wanted in "$@"; do
    printf '%s\n' "$text" | grep -qF -- "$wanted" || { echo "$page: does not show: $wanted"; status=1; }
  done
  # The NAME line must be one that whatis/apropos can index.
  if command -v lexgrog >/dev/null 2>&1; then
    lexgrog "$page" >/dev/null || { echo "$page: lexgrog cannot parse the NAME section"; status=1; }
  fi
}

check_page atanpi.1 "printf '4\n1000000\n' | atanpi" "5,000,035" "AtanOrg1.txt ... AtanOrg5.txt" \
  "π = 176×atan(1/57) + 28×atan(1/239) - 48×atan(1/682)"
check_page atanpi-verify.1 "atanpi-verify [--help] [--] file..." "guard places"
exit $status
