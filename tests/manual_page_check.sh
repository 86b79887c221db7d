#!/usr/bin/env bash
# Renders the manual page with every groff warning on (and through man, when
# it is there) and fails on any warning or on a section or key the page lost.
# Usage: manual_page_check.sh PAGE. Exit 77 (skipped) without groff.
set -u
page="$1"
if ! command -v groff >/dev/null 2>&1; then echo "groff is not installed"; exit 77; fi

failed=0
warnings=$(LC_ALL=C.UTF-8 groff -man -ww -Tutf8 -z "$page" 2>&1)
if [ -n "$warnings" ]; then echo "groff -ww: $warnings"; failed=1; fi
if command -v man >/dev/null 2>&1; then
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then echo "man --warnings: $warnings"; failed=1; fi
fi

text=$(LC_ALL=C.UTF-8 MANWIDTH=200 groff -man -Tutf8 -P-cbou "$page" 2>/dev/null)
for heading in NAME SYNOPSIS DESCRIPTION "SETTINGS FILE" "REQUEST KINDS" "SAVE FILE" \
               "PROGRESS LINE" ENVIRONMENT "EXIT STATUS" FILES EXAMPLES "SEE ALSO" \
               Site Port Page Method Save Show '\[Vars\]' '\[Files\]' TEMP TMPDIR; do
  if ! grep -Eq "^ *$heading( |$)" <<<"$text"; then echo "missing: $heading"; failed=1; fi
done
exit "$failed"
