#!/usr/bin/env bash
# Checks the Windows ZIP that `make package` built: one top folder named after the version, with
# the program (its version resource saying that version), the guide and the licence in it, the
# texts with CR LF line ends. Usage: check-zip.sh [Linux build] [Windows build]
set -euo pipefail
build=${1:-build}
build_win=${2:-build-win}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip="$build_win/hotbatch-${version}-win64.zip"
if [ ! -f "$zip" ]; then
  echo "Windows ZIP check: FAILED: $zip is missing (run make package)"
  exit 1
fi
expected=$(printf 'hotbatch-%s-win64/%s\n' "$version" LICENSE.txt "$version" README.md \
  "$version" hotbatch.exe)
entries=$(cmake -E tar tf "$zip" | grep -v '/$' | LC_ALL=C sort)
if [ "$entries" != "$expected" ]; then
  printf 'Windows ZIP check: FAILED: %s holds\n%s\ninstead of\n%s\n' "$zip" "$entries" "$expected"
  exit 1
fi
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
zip_path=$(realpath "$zip")
(cd "$unpacked" && cmake -E tar xf "$zip_path")
folder=$unpacked/hotbatch-$version-win64
for text in README.md LICENSE.txt; do
  if grep -q $'[^\r]$' "$folder/$text" || grep -qx '' "$folder/$text"; then
    echo "Windows ZIP check: FAILED: $text has lines that do not end in CR LF"
    exit 1
  fi
done
if [ "$(strings -el "$folder/hotbatch.exe" | grep -cx "$version")" -lt 2 ]; then
  echo "Windows ZIP check: FAILED: hotbatch.exe has no file and product version $version"
  exit 1
fi
echo "Windows ZIP check: passed ($zip)"
