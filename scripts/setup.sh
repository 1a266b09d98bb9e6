#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, if it is missing.
#   scripts/setup.sh        everything (build, tests, lint, signing)
#   scripts/setup.sh demo   only what scripts/demo.sh needs: the build and Wine
set -euo pipefail
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 python3)
case "${1:-}" in
  "") packages+=(googletest coreutils osslsigncode clang-tidy clang-format openssl chromium postgresql
             python3-psycopg poppler-utils) ;;  # poppler-utils: pdftoppm, to look at the page's print
  demo) ;;
  *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
