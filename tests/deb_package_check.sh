#!/usr/bin/env bash
# Builds the Debian package from a Release build of its own, checks its files
# and control fields, installs it with dpkg, runs the installed ravelok
# (--version, then the installed upload example against the echo server on a
# loopback port) and removes it again, checking that nothing is left.
# Usage: deb_package_check.sh SOURCE_DIR WORK_DIR. Exit 77 (skipped) when the
# tools are missing, without root, or when a ravelok package is installed
# already (the check would replace it).
set -u
source_dir="$1"
work="$2"
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack file ldd ldconfig python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then echo "$tool is not installed"; exit 77; fi
done
if [ "$(id -u)" -ne 0 ]; then echo "dpkg -i needs root"; exit 77; fi
if dpkg-query -W -f='${db:Status-Status}' ravelok 2>/dev/null | grep -qv '^not-installed$'; then
  echo "a ravelok package is installed already"
  exit 77
fi

failed=0
fail() { echo "FAIL: $*"; failed=1; }
server_pid=""
installed=0
# dpkg waits for no one: another apt or dpkg run holds its lock for a while.
dpkg_retrying() {
  local output
  for _ in $(seq 120); do
    if output=$(dpkg "$@" 2>&1); then return 0; fi
    grep -qi "lock" <<<"$output" || { echo "$output"; return 1; }
    sleep 2
  done
  echo "$output"
  return 1
}
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
  if [ "$installed" -eq 1 ]; then dpkg_retrying -r ravelok >/dev/null; fi
  rm -rf "$work/job" "$work/packages"
}
trap cleanup EXIT

version=$(sed -n 's/^#define RAVELOK_VERSION "\(.*\)"$/\1/p' "$source_dir/services/version.h")
# Warnings as errors: the optimiser of a Release build finds warnings the
# other builds do not, and the package is what people install.
cmake -S "$source_dir" -B "$work/release" -DCMAKE_BUILD_TYPE=Release -DRAVELOK_TESTS=OFF \
  -DRAVELOK_WERROR=ON >/dev/null || { echo "configure failed"; exit 1; }
cmake --build "$work/release" -j2 --target ravelok 2>&1 >/dev/null | tail -n 20
[ "${PIPESTATUS[0]}" = 0 ] || { echo "build failed"; exit 1; }
rm -rf "$work/packages"
(cd "$work/release" && cpack -G DEB -B "$work/packages" >/dev/null) || { echo "cpack failed"; exit 1; }
deb=$(ls "$work/packages"/ravelok_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no .deb made"; exit 1; }

# The files: the program, the manual page, the README, the guide and the examples.
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for file in ./usr/bin/ravelok ./usr/share/man/man1/ravelok.1 ./usr/share/doc/ravelok/README.md \
            ./usr/share/doc/ravelok/docs/guide.md ./usr/share/doc/ravelok/examples/get/RAVELOK.INI \
            ./usr/share/doc/ravelok/examples/upload/RAVELOK.INI \
            ./usr/share/doc/ravelok/examples/upload/notes.txt \
            ./usr/share/doc/ravelok/examples/systemd/ravelok-upload.service \
            ./usr/share/doc/ravelok/examples/systemd/ravelok-upload.timer; do
  grep -qx "$file" <<<"$contents" || fail "the package lacks $file"
done

# The control fields; Depends names the package of every shared library the
# program links.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = ravelok ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
libraries=$(ldd "$work/release/ravelok" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}')
[ -n "$libraries" ] || fail "ldd names no shared library"
# libssl.so.3 is loaded when a run asks for HTTPS, so ldd does not name it.
libssl=$(ldconfig -p | awk '$1 == "libssl.so.3" {print $NF; exit}')
[ -n "$libssl" ] || fail "no libssl.so.3 on this system"
libraries="$libraries $libssl"
for path in $libraries; do
  owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(readlink -f "$path")" 2>/dev/null)
  owner=${owner%%:*}
  [ -n "$owner" ] || { fail "no package owns $path"; continue; }
  grep -Eq "(^|, )$owner( |,|$)" <<<"$depends" || fail "Depends ($depends) lacks $owner for $path"
done

dpkg_retrying -i "$deb" >/dev/null || { echo "dpkg -i failed"; exit 1; }
installed=1
[ "$(/usr/bin/ravelok --version)" = "ravelok $version" ] || fail "--version: $(/usr/bin/ravelok --version)"

# The installed upload example against the echo server.
mkdir -p "$work/job"
python3 "$source_dir/scripts/echo_server.py" --port-file "$work/job/port" >/dev/null &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/job/port" ] && break; sleep 0.1; done
port=$(cat "$work/job/port" 2>/dev/null)
[ -n "$port" ] || { echo "the echo server did not start"; exit 1; }
cp /usr/share/doc/ravelok/examples/upload/* "$work/job/"
sed -i "s/^Port=.*/Port=$port/" "$work/job/RAVELOK.INI"
status=0
(cd "$work/job" && timeout 30 /usr/bin/ravelok "$work/job" </dev/null) || status=$?
[ "$status" -eq 0 ] || fail "the upload example ended with $status"
grep -q "author = Marta Puig" "$work/job/answer.txt" 2>/dev/null || fail "the answer lacks the form field"
grep -q "FILE2: figures.csv" "$work/job/answer.txt" 2>/dev/null || fail "the answer lacks the second file"

# Removal leaves none of the package's files or directories of its own.
dpkg_retrying -r ravelok >/dev/null || fail "dpkg -r failed"
installed=0
[ "$(dpkg-query -W -f='${db:Status-Status}' ravelok 2>/dev/null)" = not-installed ] ||
  [ -z "$(dpkg-query -W ravelok 2>/dev/null)" ] || fail "dpkg still lists ravelok"
while read -r file; do
  case "$file" in */) continue ;; esac
  [ ! -e "${file#.}" ] || fail "${file#.} is left after dpkg -r"
done <<<"$contents"
for directory in /usr/share/doc/ravelok; do
  [ ! -e "$directory" ] || fail "$directory is left after dpkg -r"
done
exit "$failed"
