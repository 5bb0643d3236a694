#!/usr/bin/env bash
# Runs one pass of hotbatch over a copy of the example inbox and shows what it left behind.
set -euo pipefail
binary=$(realpath "${1:-build/hotbatch}")
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/hotbatch-demo.XXXXXX")
cp -R "$examples/inbox" "$work/inbox"
mkdir "$work/errors"

echo "== Inbox: $work/inbox"
ls -1 "$work/inbox"
echo
echo "== hotbatch -d inbox -g 0 -o run.log -t @4@.ok -e ../errors '*.txt' 'test -s \"@2@.@3@\" && sort \"@1@\" > \"@4@.sorted\"'"
echo "   (each placeholder is replaced once: @2@.@3@ is the bare name, @1@ the full path, @4@ the path without extension; an empty file makes the command fail)"
cd "$work"
"$binary" -d inbox -g 0 -o run.log -t @4@.ok -e ../errors '*.txt' \
  'test -s "@2@.@3@" && sort "@1@" > "@4@.sorted"'
echo
echo "== Results in the inbox:"
ls -1 "$work/inbox"
echo
echo "== inbox/fruit.sorted:"
cat "$work/inbox/fruit.sorted"
echo
echo "== inbox/fruit.ok (the success file):"
cat "$work/inbox/fruit.ok"
echo
echo "== inbox/run.log:"
cat "$work/inbox/run.log"
echo "== Error folder $work/errors:"
ls -1 "$work/errors"
echo
echo "Everything is in $work; remove it with: rm -r '$work'"
