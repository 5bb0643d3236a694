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
unpacked=$(mktemp -d) && trap 'rm -rf "$unpacked"' EXIT
cmake -E chdir "$unpacked" cmake -E tar xf "$(realpath "$zip")"
folder=$unpacked/hotbatch-$version-win64
if grep -qE $'([^\r]|^)$' "$folder/README.md" "$folder/LICENSE.txt" ||
  [ "$(strings -el "$folder/hotbatch.exe" | grep -cx "$version")" -lt 2 ]; then
  echo "Windows ZIP check: FAILED: texts without CR LF line ends, or no version $version resource"
  exit 1
fi
echo "Windows ZIP check: passed ($zip)"
