#!/usr/bin/env bash
# Fails when the README or the manual page no longer match the program: a version other than the
# one of project(), or a manual page whose option lists differ from the usage screen's.
#
# Usage: check-docs-match.sh HOTBATCH [SOURCE FOLDER]
#
# Versions: every "hotbatch_X", "hotbatch-X", "hotbatch X" and "Version X" (X a dotted number,
# as in the .deb, the ZIP, its folder and the usage screen) in README.md and docs/hotbatch.1 must
# be the version in CMakeLists.txt's project(), and the README must name it at least once.
#
# Options: "the same" means the same options in the same order, each with the same argument
# word or none. The usage screen (hotbatch without arguments) gives them under "Options:" as
# "-x" or "-x word"; the manual page as the entries of its OPTIONS section that begin with an
# option (.B \-x or .BI \-x " word") and as the [-x word] items of its SYNOPSIS. The descriptions
# are free to differ. So a new option needs its usage line, a synopsis item and an OPTIONS entry.
set -uo pipefail
binary=$(realpath "${1:?usage: check-docs-match.sh HOTBATCH [SOURCE FOLDER]}")
root=${2:-$(cd "$(dirname "$0")/../.." && pwd)}
failed=0
fail() {
  echo "FAILED: $*"
  failed=$((failed + 1))
}

version=$(sed -nE 's/^project\(hotbatch VERSION ([0-9.]+)[ )].*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "FAILED: no project(hotbatch VERSION ...) in $root/CMakeLists.txt"; exit 1; }

for document in "$root/README.md" "$root/docs/hotbatch.1"; do
  mentions=$(grep -noE '(hotbatch(_|-|\\-| )|[Vv]ersion )[0-9]+(\.[0-9]+)+' "$document")
  while IFS= read -r mention; do
    [ -n "$mention" ] && [ "${mention##*[ _-]}" != "$version" ] &&
      fail "${document#"$root"/}:${mention%%:*} names '${mention#*:}', but project() says $version"
  done <<<"$mentions"
  case $document in
    *.md) [ -n "$mentions" ] || fail "README.md names no version (project() says $version)" ;;
  esac
done

# "-x word" or "-x", one option a line.
usage_options=$("$binary" </dev/null | sed -n '/^Options:$/,/^[^[:space:]]/p' |
  sed -nE 's/^[[:space:]]+(-[[:alnum:]])( ([^[:space:]]+))?[[:space:]]{2,}.*/\1 \3/p' | sed 's/ $//')
manual=$root/docs/hotbatch.1
manual_options=$(awk '/^\.SH/ { inside = ($0 == ".SH OPTIONS"); next }
  inside && /^\.T[PQ]/ { getline; if ($0 ~ /^\.BI? \\-/) print }' "$manual" |
  sed -E 's/^\.BI? //; s/\\-/-/g; s/"//g; s/ +/ /g; s/ $//')
synopsis_options=$(awk '/^\.SH/ { inside = ($0 == ".SH SYNOPSIS"); next }
  inside && /^\.RB \[ \\-/ { option = $3; if ($4 != "]") { getline; option = option " " $2 }; print option }' \
  "$manual" | sed 's/\\-/-/g')

[ -n "$usage_options" ] || fail "no options found on the usage screen of $binary"
for list in OPTIONS SYNOPSIS; do
  [ "$list" = OPTIONS ] && documented=$manual_options || documented=$synopsis_options
  if [ "$documented" != "$usage_options" ]; then
    fail "the manual page's $list list differs from the usage screen's:"
    echo "  usage screen: $(paste -sd ' ' <<<"$usage_options")"
    echo "  manual page:  $(paste -sd ' ' <<<"$documented")"
  fi
done

if [ "$failed" -ne 0 ]; then
  echo "Docs check: $failed problem(s)"
  exit 1
fi
echo "Docs check: passed (version $version; options: $(paste -sd ' ' <<<"$usage_options"))"
