#!/bin/sh
# Renders the manual page as man does for a reader and fails on any warning from man or groff.
# Exit 77 (skipped) where man is not installed.
page=${1:?usage: check-man-page.sh PAGE}
if ! command -v man >/dev/null 2>&1; then
  echo "man is not installed: manual page check skipped"
  exit 77
fi
warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
status=$?
if [ -n "$warnings" ] || [ "$status" -ne 0 ]; then
  echo "man -l $page (status $status) reported:"
  echo "$warnings"
  exit 1
fi
# Every section a reader looks for.
for section in NAME SYNOPSIS DESCRIPTION OPTIONS PLACEHOLDERS WILDCARDS FILES "EXIT STATUS" \
  SIGNALS EXAMPLES NOTES; do
  grep -q "^\.SH \"*$section\"*\$" "$page" || { echo "section $section is missing"; exit 1; }
done
echo "$page renders without warnings"
