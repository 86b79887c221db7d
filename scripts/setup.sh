#!/usr/bin/env bash
# Installs what building and testing ravelok needs, when it is missing.
# Sourced by the other scripts; safe to run again.
set -euo pipefail

# What building ravelok (and its sample job) needs.
ravelok_packages=(cmake make g++ libgtest-dev libssl-dev python3)
# (libssl-dev: the TLS backend is built against OpenSSL 3's headers and loads
# libssl3 at run time.) A script may ask for more before sourcing this one:
# the tests add nginx, openssl (the test certificates), curl, Go for the Go
# form peer, PHP and Node's busboy for the parser peers, clang for the fuzz
# targets, Ninja for the sanitized build, and mingw-w64 with Wine for the
# Windows build.
ravelok_packages+=(${ravelok_extra_packages[@]+"${ravelok_extra_packages[@]}"})

ravelok_missing=()
for package in "${ravelok_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    ravelok_missing+=("$package")
  fi
done
if [ "${#ravelok_missing[@]}" -gt 0 ]; then
  echo "Installing: ${ravelok_missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${ravelok_missing[@]}" >/dev/null
  # The packaged nginx starts a system-wide server; the tests run their own.
  if command -v systemctl >/dev/null 2>&1; then systemctl stop nginx 2>/dev/null || true; fi
  if [ -f /run/nginx.pid ]; then kill "$(cat /run/nginx.pid)" 2>/dev/null || true; fi
fi
