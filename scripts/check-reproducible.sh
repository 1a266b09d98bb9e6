#!/usr/bin/env bash
# Builds the shipped programs and the release archive twice from clean
# (cmake --workflow --preset release), in two copies of this checkout at
# different paths (of different lengths, with a different time zone and
# locale), and compares dist/ byte for byte. Prints every file's SHA-256, then
# checks that the release archive holds exactly the kit (the two programs as in
# dist/, kelvane-log.pyz holding tools/kelvane-log and its package as in
# tools/, README.txt and SHA256SUMS over those four) and that its sums check. Exits nonzero when the builds differ, either fails
# or the archive is not the kit.
#   scripts/check-reproducible.sh [--head]
# By default the copies hold the working tree as it is (tracked files with
# their local changes, and new files git does not ignore); with --head they
# are clones of the committed HEAD.
set -euo pipefail

source_mode=worktree
case "${1:-}" in
  "") ;;
  --head) source_mode=head ;;
  *) echo "usage: $0 [--head]" >&2; exit 2 ;;
esac

repo=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT

copy_checkout() {
  local into=$1
  mkdir -p "$into"
  if [ "$source_mode" = head ]; then
    git clone --quiet --no-hardlinks "$repo" "$into"
  else
    # The files a build of this working tree would see; dist/ and build
    # directories are ignored and stay behind.
    (cd "$repo" && git ls-files -z --cached --others --exclude-standard \
      | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
      | tar --null --files-from=- -cf -) | tar -xf - -C "$into"
  fi
}

build() {
  local tree=$1 tz=$2 lang=$3
  # SOURCE_DATE_EPOCH is the user's to set; the build must agree with itself
  # without it.
  (cd "$tree" && unset SOURCE_DATE_EPOCH \
    && TZ=$tz LC_ALL=$lang LANG=$lang cmake --workflow --preset release >"$tree.log" 2>&1) || {
    echo "build in $tree failed:" >&2
    tail -n 30 "$tree.log" >&2
    return 1
  }
}

first="$work/a"
second="$work/second-copy/of-the-checkout"
copy_checkout "$first"
copy_checkout "$second"
build "$first" UTC C
build "$second" Asia/Tokyo C.UTF-8

status=0
names=$( (cd "$first/dist" && ls; cd "$second/dist" && ls) | sort -u)
if [ -z "$names" ]; then
  echo "no files in dist/" >&2
  exit 1
fi
for name in $names; do
  a="$first/dist/$name"
  b="$second/dist/$name"
  ha=$( [ -f "$a" ] && sha256sum <"$a" | cut -d' ' -f1 || echo missing)
  hb=$( [ -f "$b" ] && sha256sum <"$b" | cut -d' ' -f1 || echo missing)
  if [ "$ha" = "$hb" ]; then
    printf 'same    %-30s %s\n' "$name" "$ha"
  else
    printf 'DIFFERS %-30s %s\n        %-30s %s\n' "$name" "$ha" "" "$hb"
    status=1
  fi
done
if [ $status -eq 0 ]; then
  echo "reproducible: both builds gave the same dist/"
else
  echo "NOT reproducible: the builds differ (sources: $source_mode)" >&2
fi

kit="$work/kit"
mkdir "$kit"
archive=$(ls "$first"/dist/Kelvane-*-win64.zip)
members=$(cmake -E tar tf "$archive" | LC_ALL=C sort | tr '\n' ' ')
summed=$( (cd "$kit" && cmake -E tar xf "$archive" && cut -c67- SHA256SUMS) | LC_ALL=C sort | tr '\n' ' ')
kit_ok=1
[ "$members" = "Kelvane.exe QUINTAR.exe README.txt SHA256SUMS kelvane-log.pyz " ] \
  || { echo "the archive holds: $members" >&2; kit_ok=0; }
[ "$summed" = "Kelvane.exe QUINTAR.exe README.txt kelvane-log.pyz " ] \
  || { echo "SHA256SUMS lists: $summed" >&2; kit_ok=0; }
(cd "$kit" && sha256sum --check --strict SHA256SUMS) || kit_ok=0
for copy in dist/Kelvane.exe dist/QUINTAR.exe; do
  cmp "$kit/$(basename "$copy")" "$first/$copy" || kit_ok=0
done
# The one-file reader holds the repository's entry script as its __main__.py
# and the package's sources, nothing else but the version module the build
# writes, which gives the archive's version.
python3 -m zipfile -e "$kit/kelvane-log.pyz" "$kit/pyz" || kit_ok=0
mkdir "$kit/tools"
cp "$first/tools/kelvane-log" "$kit/tools/__main__.py"
cp -r "$first/tools/kelvane_log" "$kit/tools/kelvane_log"
find "$kit/tools/kelvane_log" -name __pycache__ -prune -exec rm -rf {} +
version=${archive##*/Kelvane-}
version=${version%-win64.zip}
grep -qxF "VERSION = '$version'" "$kit/pyz/kelvane_log/version.py" \
  || { echo "kelvane-log.pyz does not give the version $version" >&2; kit_ok=0; }
rm -f "$kit/pyz/kelvane_log/version.py"
diff -r "$kit/pyz" "$kit/tools" || kit_ok=0
if [ $kit_ok -eq 1 ]; then
  echo "release archive: $(basename "$archive") holds the kit and its sums check"
else
  echo "release archive: $(basename "$archive") is not the kit" >&2
  status=1
fi
exit $status
