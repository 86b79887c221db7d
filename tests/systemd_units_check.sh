#!/usr/bin/env bash
# Checks the example systemd service and timer with systemd-analyze verify;
# any message fails. The service names the installed /usr/bin/ravelok, which
# verify wants to exist, so the copies checked name the binary just built;
# man finds the manual page of Documentation= in a copy of docs/.
# Usage: systemd_units_check.sh SOURCE_DIR BINARY. Exit 77 (skipped) without
# systemd-analyze.
set -u
source_dir="$1"
binary="$2"
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze is not installed"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/man/man1"
cp "$source_dir/docs/ravelok.1" "$work/man/man1/"
units="$source_dir/examples/systemd"
sed "s|/usr/bin/ravelok|$binary|" "$units/ravelok-upload.service" >"$work/ravelok-upload.service"
cp "$units/ravelok-upload.timer" "$work/"

failed=0
messages=$(cd "$work" && MANPATH="$work/man" timeout 120 systemd-analyze verify \
  ./ravelok-upload.service ./ravelok-upload.timer 2>&1) || failed=1
if [ -n "$messages" ]; then echo "$messages"; failed=1; fi
# What the recipe relies on: a one-shot run of the job directory, relative
# paths from that directory, and a timer that starts the service.
for line in "Type=oneshot" "WorkingDirectory=/srv/ravelok/upload" \
            "ExecStart=/usr/bin/ravelok /srv/ravelok/upload"; do
  grep -qx "$line" "$units/ravelok-upload.service" || { echo "service lacks $line"; failed=1; }
done
grep -q "^OnCalendar=" "$units/ravelok-upload.timer" || { echo "timer lacks OnCalendar"; failed=1; }
exit "$failed"
