#!/usr/bin/env bash
# Measures ravelok side by side with curl and wget on loopback and writes the
# figures to docs/benchmarks.md (docs/HACKING.md, "Benchmarks", tells the method).
#
#   bench/run.sh
#
# Settings through the environment: BENCH_RUNS_SMALL (runs of the small
# cases, default 31), BENCH_RUNS_LARGE (runs of the 1 GiB cases, default 5),
# BENCH_RUNS_CHECK (runs of case q, default 11), BENCH_SETTLE (seconds of
# pause before each 1 GiB run, default 5),
# BENCH_OUTPUT (default docs/benchmarks.md; "-" prints only), BENCH_ONLY
# (case letters separated by commas, "l" or "a,l": only those cases run, and
# the figures are printed, not written; default every case).
#
# Every case that saves a file runs in two forms: with the save file absent
# (a first run) and with it present, holding the answer of an earlier run
# (the repeated job a scheduler starts). curl (-o) and wget (-O) overwrite
# their own files in the same way. In the GET cases the present file holds
# other bytes than the answer that is to replace them, so the byte-for-byte
# check shows that it was rewritten; the sink numbers its answers for the
# same reason.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

runs_small=${BENCH_RUNS_SMALL:-31}
runs_large=${BENCH_RUNS_LARGE:-5}
runs_check=${BENCH_RUNS_CHECK:-11}
settle=${BENCH_SETTLE:-5}
output=${BENCH_OUTPUT:-docs/benchmarks.md}
only=${BENCH_ONLY:-}
if [ -n "$only" ]; then output=-; fi
# want LETTER...: true when one of the cases is to run.
want() {
  local letter
  for letter in "$@"; do
    [ -z "$only" ] || [[ ",$only," == *",$letter,"* ]] && return 0
  done
  return 1
}
large_size=$((1 << 30))
# Case q's [Expect] text, which its answer holds in its last 32 bytes.
expect_text="ravelok bench: the answer ends"
form_variables=200

# ------------------------------------------------------------------ packages
ravelok_extra_packages=(nginx openssl curl wget time gcc tinyproxy)
source scripts/setup.sh

# --------------------------------------------------------------------- build
echo "Building ravelok (Release) in build-bench/ ..."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DRAVELOK_TESTS=OFF \
  -DRAVELOK_WERROR=ON >/dev/null
cmake --build build-bench -j2 --target ravelok >/dev/null
ravelok=$root/build-bench/ravelok

work=$(mktemp -d /tmp/ravelok-bench.XXXXXX)
# nginx's worker runs as an unprivileged user and must read the files.
chmod 755 "$work"
nginx_pid=""
sink_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

gcc -O2 -Wall -Wextra -o "$work/measure" bench/measure.c
gcc -O2 -Wall -Wextra -o "$work/sink" bench/sink.c
gcc -O2 -Wall -Wextra -o "$work/tls_floor" bench/tls_floor.c -lssl -lcrypto
gcc -O2 -Wall -Wextra -o "$work/upload_floor" bench/upload_floor.c -lssl -lcrypto
g++ -O2 -std=c++20 -Wall -Wextra -I. -o "$work/search_cost" bench/search_cost.cpp \
  exchange/matcher.cpp platform/byte_search.cpp platform/ascii.cpp
measure=$work/measure

mkdir -p "$work/www" "$work/nginx" "$work/out" "$work/temp" "$work/results" "$work/jobs"
echo "Generating the test files in $work ..."
head -c 1024 /dev/urandom >"$work/www/small.bin"
if want b c f g h i j k n p q; then
  head -c "$large_size" /dev/urandom >"$work/www/large.bin"
  # The second answers, which the present forms fetch over files that hold the
  # first: the same bytes turned by 4 KiB, so every place holds another byte.
  { tail -c +4097 "$work/www/large.bin"; head -c 4096 "$work/www/large.bin"; } >"$work/www/large2.bin"
fi
if want q; then
  # Case q's answer: the large file with a text in its last bytes, which the
  # [Expect] check finds only after looking at every byte before them.
  { head -c $((large_size - 32)) "$work/www/large.bin"; printf '%-32s' "$expect_text"; } \
    >"$work/www/marked.bin"
fi
{ tail -c +513 "$work/www/small.bin"; head -c 512 "$work/www/small.bin"; } >"$work/www/small2.bin"
chmod 644 "$work/www/"*.bin
# Written out now, not by the kernel during the first measured runs.
sync "$work/www/"*.bin

# --------------------------------------------------------------------- nginx
port_is_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_nginx() {
  local attempt
  for attempt in 1 2 3 4 5 6 7 8; do
    nginx_port=$((20000 + RANDOM % 40000))
    port_is_free "$nginx_port" || continue
    tls_port=$((nginx_port + 1))
    port_is_free "$tls_port" || continue
    client_port=$((nginx_port + 2))
    port_is_free "$client_port" || continue
    cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  default_type application/octet-stream;
  sendfile on;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    # Case l: a redirect to the small file on the same server.
    location = /moved.bin { return 302 /small.bin; }
  }
  # HTTPS: the same files, and the uploads passed on to the sink as they
  # arrive, so that the sink's count checks them.
  server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $work/tls/server.pem;
    ssl_certificate_key $work/tls/server.key;
    root $work/www;
    location /upload {
      client_max_body_size 0;
      proxy_request_buffering off;
      proxy_pass http://127.0.0.1:$sink_port;
    }
  }
  # Case o: the same files to a client with a certificate of the authority.
  server {
    listen 127.0.0.1:$client_port ssl;
    ssl_certificate $work/tls/server.pem;
    ssl_certificate_key $work/tls/server.key;
    ssl_client_certificate $work/tls/ca.pem;
    ssl_verify_client on;
    root $work/www;
  }
}
EOF
    nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>>"$work/nginx/error.log" &
    nginx_pid=$!
    local wait
    for wait in $(seq 50); do
      if curl -s -o /dev/null "http://127.0.0.1:$nginx_port/small.bin"; then return 0; fi
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  done
  echo "nginx did not start; see its log:" >&2
  cat "$work/nginx/error.log" >&2
  exit 1
}

start_sink() {
  "$work/sink" 0 >"$work/sink.port" &
  sink_pid=$!
  local wait
  for wait in $(seq 50); do
    sink_port=$(head -n 1 "$work/sink.port" 2>/dev/null || true)
    if [ -n "$sink_port" ]; then return 0; fi
    sleep 0.1
  done
  echo "the sink did not start" >&2
  exit 1
}

# The HTTPS cases' authority and server certificate, made for this run.
mkdir -p "$work/tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/tls/ca.key" \
  -out "$work/tls/ca.pem" -days 2 -subj /CN=ravelok-bench-authority 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/tls/server.key" \
  -out "$work/tls/server.csr" -subj /CN=127.0.0.1 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$work/tls/server.ext"
openssl x509 -req -in "$work/tls/server.csr" -CA "$work/tls/ca.pem" -CAkey "$work/tls/ca.key" \
  -CAcreateserial -out "$work/tls/server.pem" -days 2 -extfile "$work/tls/server.ext" 2>/dev/null
# Case o's client certificate, a P-256 key beside it.
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/tls/client.key" \
  -out "$work/tls/client.csr" -subj /CN=ravelok-bench-client 2>/dev/null
openssl x509 -req -in "$work/tls/client.csr" -CA "$work/tls/ca.pem" -CAkey "$work/tls/ca.key" \
  -CAcreateserial -out "$work/tls/client.pem" -days 2 2>/dev/null
chmod 644 "$work/tls/"*

start_sink
start_nginx

# ---------------------------------------------------------------------- jobs
# write_job NAME PORT PAGE METHOD SAVE [Files entry]: a job directory
write_job() {
  local dir=$work/jobs/$1
  mkdir -p "$dir"
  {
    printf '[URL]\nSite=127.0.0.1\nPort=%s\nPage=%s\nMethod=%s\nSave=%s\nShow=0\n' "$2" "$3" "$4" "$5"
    if [ -n "${6:-}" ]; then printf '[Files]\n1=%s\n' "$6"; fi
  } >"$dir/RAVELOK.INI"
}

# small and small2 (large and large2) save to the same file: the first to a
# missing one, the second over what the first left.
write_job small "$nginx_port" /small.bin "" "$work/out/small.ravelok"
write_job small2 "$nginx_port" /small2.bin "" "$work/out/small.ravelok"
write_job large "$nginx_port" /large.bin "" "$work/out/large.ravelok"
write_job large2 "$nginx_port" /large2.bin "" "$work/out/large.ravelok"
write_job upload "$sink_port" /upload POST "$work/out/upload.ravelok" "$work/www/large.bin"
write_job cached "$sink_port" /upload POST "$work/out/cached.ravelok" "$work/www/cached.bin"
write_job notemp "$sink_port" /upload-checked POST "$work/out/notemp.ravelok" "$work/www/large.bin"
write_job form "$sink_port" /form POST "$work/out/form.ravelok"
# The 1 GiB GETs with Keep=1 (case p), to a file of their own.
write_job keep "$nginx_port" /large.bin "" "$work/out/keep.ravelok"
write_job keep2 "$nginx_port" /large2.bin "" "$work/out/keep.ravelok"
for job in keep keep2; do printf 'Keep=1\n' >>"$work/jobs/$job/RAVELOK.INI"; done
# The 1 GiB GET with one [Expect] text (case q), and the same without it.
write_job marked "$nginx_port" /marked.bin "" "$work/out/marked.ravelok"
write_job expect "$nginx_port" /marked.bin "" "$work/out/marked.ravelok"
printf '[Expect]\n1=%s\n' "$expect_text" >>"$work/jobs/expect/RAVELOK.INI"
# The redirected GET: Follow=1 takes it on to the file.
write_job redirect "$nginx_port" /moved.bin "" "$work/out/redirect.ravelok"
printf 'Follow=1\n' >>"$work/jobs/redirect/RAVELOK.INI"
# The HTTPS jobs: the Site's prefix and the run's authority as CAFile.
write_job tls-small "$tls_port" /small.bin "" "$work/out/tls-small.ravelok"
write_job tls-large "$tls_port" /large.bin "" "$work/out/tls-large.ravelok"
write_job tls-upload "$tls_port" /upload POST "$work/out/tls-upload.ravelok" "$work/www/large.bin"
# The Body jobs: the 1 GiB file is the whole body of the POST.
write_job body "$sink_port" /upload POST "$work/out/body.ravelok"
write_job tls-body "$tls_port" /upload POST "$work/out/tls-body.ravelok"
write_job body-checked "$sink_port" /upload-checked POST "$work/out/body.ravelok"
write_job tls-body-checked "$tls_port" /upload-checked POST "$work/out/tls-body.ravelok"
write_job body-put "$sink_port" /upload PUT "$work/out/body-put.ravelok"
write_job body-put-checked "$sink_port" /upload-checked PUT "$work/out/body-put.ravelok"
for job in body tls-body body-checked tls-body-checked body-put body-put-checked; do
  printf 'Body=%s\n' "$work/www/large.bin" >>"$work/jobs/$job/RAVELOK.INI"
done
write_job tls-client "$client_port" /small.bin "" "$work/out/tls-client.ravelok"
printf 'ClientCert=%s\nClientKey=%s\n' "$work/tls/client.pem" "$work/tls/client.key" >>"$work/jobs/tls-client/RAVELOK.INI"
for job in tls-small tls-large tls-upload tls-body tls-body-checked tls-client; do
  sed -i "s|^Site=127.0.0.1\$|Site=https://127.0.0.1\nCAFile=$work/tls/ca.pem|" "$work/jobs/$job/RAVELOK.INI"
done

# The form: the same 200 variables for every tool. Values hold blanks and
# bytes that need encoding.
curl_form=()
wget_form=""
{
  echo "[Vars]"
  for i in $(seq "$form_variables"); do
    echo "$i=field$i=value number $i & more/text"
    curl_form+=(--data-urlencode "field$i=value number $i & more/text")
    wget_form+="${wget_form:+&}field$i=value+number+$i+%26+more%2Ftext"
  done
} >>"$work/jobs/form/RAVELOK.INI"

# ------------------------------------------------------------------ measuring
export TEMP=$work/temp
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
# run CASE TOOL COMMAND...: one measured run, which must exit with 0.
run() {
  local case=$1 tool=$2
  shift 2
  "$measure" "$work/results/$case.$tool" "$@" </dev/null >/dev/null 2>>"$work/results/errors"
  local status
  status=$(tail -n 1 "$work/results/$case.$tool" | cut -d' ' -f3)
  if [ "$status" != 0 ]; then
    echo "$tool failed in case $case with status $status" >&2
    cat "$work/results/errors" >&2 || true
    exit 1
  fi
}

# expect_size FILE BYTES
expect_size() {
  local size
  size=$(stat -c %s "$1")
  if [ "$size" != "$2" ]; then
    echo "$1 holds $size bytes, $2 expected" >&2
    exit 1
  fi
}

# expect_received FILE: the sink's answer must say the whole body arrived.
expect_received() {
  if ! grep -Eq '^received ([0-9]+) of \1' "$1"; then
    echo "the sink did not receive the whole body: $(head -c 200 "$1")" >&2
    exit 1
  fi
}

# expect_saved TOOL FILE SOURCE [size]: FILE holds SOURCE, followed by CR LF
# when ravelok saved it; with "size", only its size is checked.
expect_saved() {
  local tool=$1 file=$2 source=$3 size
  size=$(stat -c %s "$source")
  if [ "$tool" = ravelok ]; then
    expect_size "$file" $((size + 2))
  else
    expect_size "$file" "$size"
  fi
  [ "${4:-}" = size ] && return 0
  cmp -s -n "$size" "$file" "$source" || { echo "$file differs from $source" >&2; exit 1; }
  if [ "$tool" = ravelok ] && [ "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' ')" != 0d0a ]; then
    echo "$file does not end in CR LF" >&2
    exit 1
  fi
}

# expect_rewritten FILE BEFORE: FILE no longer holds what it held before the
# run (BEFORE, its cksum then).
expect_rewritten() {
  if [ "$(cksum <"$1")" = "$2" ]; then
    echo "$1 still holds the earlier answer" >&2
    exit 1
  fi
}

# get CASE TOOL NAME: GET /NAME.bin into out/SAVE.TOOL (SAVE: NAME less a
# final 2), ravelok with the job of that name.
get() {
  local case=$1 tool=$2 name=$3
  local file=$work/out/${name%2}.$tool url=http://127.0.0.1:$nginx_port/$name.bin
  case $tool in
    ravelok) run "$case" ravelok "$ravelok" "$work/jobs/$name" ;;
    curl) run "$case" curl curl -s -o "$file" "$url" ;;
    wget) run "$case" wget wget -q -O "$file" "$url" ;;
  esac
}

if want a; then
  echo "a. small GET, save file absent and present, $runs_small runs each ..."
  for i in $(seq "$runs_small"); do
    rm -f "$work/out/"small.*
    for tool in ravelok curl wget; do get a-absent "$tool" small; done
    for tool in ravelok curl wget; do expect_saved "$tool" "$work/out/small.$tool" "$work/www/small.bin"; done
    for tool in ravelok curl wget; do get a-present "$tool" small2; done
    for tool in ravelok curl wget; do expect_saved "$tool" "$work/out/small.$tool" "$work/www/small2.bin"; done
  done
fi

if want m; then
  echo "m. small GET through a 302 on the same server, save file absent, $runs_small runs each ..."
  for i in $(seq "$runs_small"); do
    rm -f "$work/out/"redirect.*
    run m-absent ravelok "$ravelok" "$work/jobs/redirect"
    run m-absent curl curl -s -L -o "$work/out/redirect.curl" "http://127.0.0.1:$nginx_port/moved.bin"
    for tool in ravelok curl; do expect_saved "$tool" "$work/out/redirect.$tool" "$work/www/small.bin"; done
  done
fi

if want b; then
  echo "b. 1 GiB GET saved to a file, absent and present, $runs_large runs each ..."
  for i in $(seq "$runs_large"); do
    for tool in ravelok curl wget; do
      check=size
      if [ "$tool" = ravelok ] && [ "$i" = 1 ]; then check=all; fi
      # Absent: no large file at all, as before each tool's first run.
      rm -f "$work/out/"large.*
      sleep "$settle"
      get b-absent "$tool" large
      expect_saved "$tool" "$work/out/large.$tool" "$work/www/large.bin" "$check"
      # Present: the file just saved stays, written out to the disk first, as
      # a file an earlier job saved is found.
      sync "$work/out/large.$tool"
      sleep "$settle"
      get b-present "$tool" large2
      expect_saved "$tool" "$work/out/large.$tool" "$work/www/large2.bin" "$check"
    done
  done
  rm -f "$work/out/"large.*
fi

if want c; then
  echo "c. 1 GiB upload POST, save file present, $runs_large runs each ..."
  # The answer files are kept from run to run; before the first, they hold an
  # earlier answer of the same kind.
  for tool in ravelok curl; do printf 'received 0 of 0, answer 0\n' >"$work/out/upload.$tool"; done
  for i in $(seq "$runs_large"); do
    for tool in ravelok curl; do
      sleep "$settle"
      before=$(cksum <"$work/out/upload.$tool")
      case $tool in
        ravelok) run c-present ravelok "$ravelok" "$work/jobs/upload" ;;
        curl) run c-present curl curl -s -o "$work/out/upload.curl" -F "FILE1=@$work/www/large.bin" \
                "http://127.0.0.1:$sink_port/upload" ;;
      esac
      expect_received "$work/out/upload.$tool"
      expect_rewritten "$work/out/upload.$tool" "$before"
    done
    # The least uploader: the file's bytes read and sent, nothing more.
    sleep "$settle"
    run c-present floor "$work/upload_floor" "$sink_port" "$work/www/large.bin" "$work/out/upload.floor"
    expect_received "$work/out/upload.floor"
  done
  if [ -n "$(ls -A "$work/temp")" ]; then
    echo "ravelok left files in TEMP: $(ls "$work/temp")" >&2
    exit 1
  fi
fi

# post_form CASE TOOL: the form POST, its answer saved to out/form.TOOL.
post_form() {
  case $2 in
    ravelok) run "$1" ravelok "$ravelok" "$work/jobs/form" ;;
    curl) run "$1" curl curl -s -o "$work/out/form.curl" "${curl_form[@]}" "http://127.0.0.1:$sink_port/form" ;;
    wget) run "$1" wget wget -q -O "$work/out/form.wget" --post-data "$wget_form" "http://127.0.0.1:$sink_port/form" ;;
  esac
}

if want d; then
  echo "d. form POST with $form_variables variables, save file absent and present, $runs_small runs each ..."
  declare -A before_form
  for i in $(seq "$runs_small"); do
    rm -f "$work/out/"form.*
    for tool in ravelok curl wget; do post_form d-absent "$tool"; done
    for tool in ravelok curl wget; do
      expect_received "$work/out/form.$tool"
      before_form[$tool]=$(cksum <"$work/out/form.$tool")
    done
    for tool in ravelok curl wget; do post_form d-present "$tool"; done
    for tool in ravelok curl wget; do
      expect_received "$work/out/form.$tool"
      expect_rewritten "$work/out/form.$tool" "${before_form[$tool]}"
    done
  done
fi

if want e o; then
  echo "e. HTTPS GET of 1 KiB with CAFile, save file absent, $runs_small runs each ..."
  for i in $(seq "$runs_small"); do
    rm -f "$work/out/"tls-small.*
    run e-absent ravelok "$ravelok" "$work/jobs/tls-small"
    run e-absent curl curl -s --cacert "$work/tls/ca.pem" -o "$work/out/tls-small.curl" \
      "https://127.0.0.1:$tls_port/small.bin"
    run e-absent floor "$work/tls_floor" "$tls_port" "$work/tls/ca.pem" /small.bin "$work/out/tls-small.floor"
    for tool in ravelok curl floor; do expect_saved "$tool" "$work/out/tls-small.$tool" "$work/www/small.bin"; done
  done
fi

if want o; then
  echo "o. HTTPS GET of 1 KiB with a client certificate, save file absent, $runs_small runs each ..."
  for i in $(seq "$runs_small"); do
    rm -f "$work/out/"tls-client.*
    run o-absent ravelok "$ravelok" "$work/jobs/tls-client"
    run o-absent curl curl -s --cacert "$work/tls/ca.pem" --cert "$work/tls/client.pem" --key "$work/tls/client.key" \
      -o "$work/out/tls-client.curl" "https://127.0.0.1:$client_port/small.bin"
    for tool in ravelok curl; do expect_saved "$tool" "$work/out/tls-client.$tool" "$work/www/small.bin"; done
  done
fi

if want f; then
  echo "f. HTTPS GET of 1 GiB saved to a file, absent, $runs_large runs each ..."
  for i in $(seq "$runs_large"); do
    for tool in ravelok curl; do
      check=size
      if [ "$tool" = ravelok ] && [ "$i" = 1 ]; then check=all; fi
      rm -f "$work/out/"tls-large.*
      sleep "$settle"
      case $tool in
        ravelok) run f-absent ravelok "$ravelok" "$work/jobs/tls-large" ;;
        curl) run f-absent curl curl -s --cacert "$work/tls/ca.pem" -o "$work/out/tls-large.curl" \
                "https://127.0.0.1:$tls_port/large.bin" ;;
      esac
      expect_saved "$tool" "$work/out/tls-large.$tool" "$work/www/large.bin" "$check"
    done
  done
  rm -f "$work/out/"tls-large.*
fi

if want g; then
  echo "g. HTTPS upload POST of 1 GiB, save file present, $runs_large runs each ..."
  for tool in ravelok curl; do printf 'received 0 of 0, answer 0\n' >"$work/out/tls-upload.$tool"; done
  for i in $(seq "$runs_large"); do
    for tool in ravelok curl; do
      sleep "$settle"
      before=$(cksum <"$work/out/tls-upload.$tool")
      case $tool in
        ravelok) run g-present ravelok "$ravelok" "$work/jobs/tls-upload" ;;
        curl) run g-present curl curl -s --cacert "$work/tls/ca.pem" -o "$work/out/tls-upload.curl" \
                -F "FILE1=@$work/www/large.bin" "https://127.0.0.1:$tls_port/upload" ;;
      esac
      expect_received "$work/out/tls-upload.$tool"
      expect_rewritten "$work/out/tls-upload.$tool" "$before"
    done
    sleep "$settle"
    run g-present floor "$work/upload_floor" "$tls_port" "$work/www/large.bin" "$work/out/tls-upload.floor" \
      "$work/tls/ca.pem"
    expect_received "$work/out/tls-upload.floor"
  done
fi

if want h; then
  echo "h. upload POST of a 256 MiB file just written, $runs_large runs each ..."
  # The file a job has just produced: written right before each run, so it is
  # in the page cache, with no pause.
  for tool in ravelok curl; do printf 'received 0 of 0, answer 0\n' >"$work/out/cached.$tool"; done
  for i in $(seq "$runs_large"); do
    for tool in ravelok curl; do
      head -c $((256 << 20)) "$work/www/large2.bin" >"$work/www/cached.bin"
      case $tool in
        ravelok) run h-present ravelok "$ravelok" "$work/jobs/cached" ;;
        curl) run h-present curl curl -s -o "$work/out/cached.curl" -F "FILE1=@$work/www/cached.bin" \
                "http://127.0.0.1:$sink_port/upload" ;;
      esac
      expect_received "$work/out/cached.$tool"
    done
    run h-present floor "$work/upload_floor" "$sink_port" "$work/www/cached.bin" "$work/out/cached.floor"
    expect_received "$work/out/cached.floor"
  done
  rm -f "$work/www/cached.bin"
fi

if want i; then
  echo "i. upload POST of 1 GiB with TEMP missing, checked byte for byte, $runs_large runs each ..."
  # TEMP names a directory that does not exist: an upload of a regular file
  # must not need it. The sink's CRC of the body is compared with cksum's of
  # the body as it must be.
  expected_body_crc() {
    local boundary=$1 path=$2
    { printf -- '--%s\r\nContent-Disposition: form-data; name="FILE1"; filename="%s"\r\n' "$boundary" "$path"
      printf 'Content-Type: application/octet-stream\r\n\r\n'
      cat "$work/www/large.bin"
      printf '\r\n--%s--\r\n' "$boundary"; } | cksum | cut -d' ' -f1-2
  }
  for i in $(seq "$runs_large"); do
    sleep "$settle"
    TEMP=$work/temp/missing run i-present ravelok "$ravelok" "$work/jobs/notemp"
    expect_received "$work/out/notemp.ravelok"
    sleep "$settle"
    run i-present curl curl -s -o "$work/out/notemp.curl" -F "FILE1=@$work/www/large.bin" \
      "http://127.0.0.1:$sink_port/upload-checked"
    expect_received "$work/out/notemp.curl"
  done
  # The last run of ravelok, byte for byte: the sink tells the boundary it
  # was given and the CRC of what it received.
  crc_line=$(grep -o 'crc [0-9]* [0-9]*' "$work/out/notemp.ravelok" | cut -d' ' -f2-3)
  boundary=$(sed -n 's/.*, boundary \([0-9]*\)$/\1/p' "$work/out/notemp.ravelok" | head -n 1)
  if [ -z "$crc_line" ] || [ "$crc_line" != "$(expected_body_crc "$boundary" "$work/www/large.bin")" ]; then
    echo "the upload with TEMP missing did not arrive byte for byte: $(head -c 200 "$work/out/notemp.ravelok")" >&2
    exit 1
  fi
  if [ -e "$work/temp/missing" ]; then echo "ravelok made the missing TEMP" >&2; exit 1; fi
fi

if want j k; then
  echo "j, k. POST of a 1 GiB Body file, plain and HTTPS, $runs_large runs each ..."
  # curl streams the file with -T (-X POST keeps the method). It asks for a
  # 100 Continue, which the sink, as nginx in case k, sends at once.
  body_post() {  # CASE TOOL PREFIX PORT [curl options]
    local case=$1 tool=$2 prefix=$3 port=$4 scheme=http
    shift 4
    [ -n "$prefix" ] && scheme=https
    if [ "$tool" = ravelok ]; then
      run "$case" ravelok "$ravelok" "$work/jobs/${prefix}body"
    else
      run "$case" curl curl -s -o "$work/out/${prefix}body.curl" "$@" -X POST -T "$work/www/large.bin" \
        -H 'Content-Type: application/octet-stream' "$scheme://127.0.0.1:$port/upload"
    fi
    expect_received "$work/out/${prefix}body.$tool"
  }
  for i in $(seq "$runs_large"); do
    for tool in ravelok curl; do
      sleep "$settle"
      body_post j-present "$tool" "" "$sink_port"
      sleep "$settle"
      body_post k-present "$tool" tls- "$tls_port" --cacert "$work/tls/ca.pem"
    done
  done
  # Once more each, unmeasured, byte for byte: the sink's CRC of what arrived
  # against cksum's of the file.
  body_crc=$(cksum <"$work/www/large.bin" | cut -d' ' -f1-2)
  for job in body-checked tls-body-checked; do
    "$ravelok" "$work/jobs/$job" >/dev/null 2>&1 || { echo "ravelok failed in $job" >&2; exit 1; }
    saved=$work/out/${job%-checked}.ravelok
    if [ "$(grep -o 'crc [0-9]* [0-9]*' "$saved" | cut -d' ' -f2-3)" != "$body_crc" ]; then
      echo "the Body POST ($job) did not arrive byte for byte: $(head -c 200 "$saved")" >&2
      exit 1
    fi
  done
fi

if want n; then
  echo "n. PUT of a 1 GiB Body file, $runs_large runs each ..."
  for i in $(seq "$runs_large"); do
    sleep "$settle"
    run n-present ravelok "$ravelok" "$work/jobs/body-put"
    expect_received "$work/out/body-put.ravelok"
    sleep "$settle"
    run n-present curl curl -s -o "$work/out/body-put.curl" -T "$work/www/large.bin" \
      "http://127.0.0.1:$sink_port/upload"
    expect_received "$work/out/body-put.curl"
  done
  # Once more, unmeasured, byte for byte as in case j.
  "$ravelok" "$work/jobs/body-put-checked" >/dev/null 2>&1 || { echo "ravelok failed in body-put-checked" >&2; exit 1; }
  if [ "$(grep -o 'crc [0-9]* [0-9]*' "$work/out/body-put.ravelok" | cut -d' ' -f2-3)" != \
       "$(cksum <"$work/www/large.bin" | cut -d' ' -f1-2)" ]; then
    echo "the Body PUT did not arrive byte for byte: $(head -c 200 "$work/out/body-put.ravelok")" >&2
    exit 1
  fi
fi

if want l; then
  echo "l. GET of 1 KiB through tinyproxy on loopback, save file absent, $runs_small runs each ..."
  # Both tools take the proxy from http_proxy; tinyproxy runs in the
  # foreground with a configuration of its own, stopped at the end.
  proxy_port=$((20000 + RANDOM % 40000))
  until port_is_free "$proxy_port"; do proxy_port=$((20000 + RANDOM % 40000)); done
  printf 'Port %s\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\nLogLevel Connect\nLogFile "%s"\nPidFile "%s"\n' \
    "$proxy_port" "$work/tinyproxy.log" "$work/tinyproxy.pid" >"$work/tinyproxy.conf"
  tinyproxy -d -c "$work/tinyproxy.conf" </dev/null >/dev/null 2>&1 &
  proxy_pid=$!
  for _ in $(seq 1 100); do port_is_free "$proxy_port" || break; sleep 0.1; done
  write_job proxy-small "$nginx_port" /small.bin "" "$work/out/proxy-small.ravelok"
  for i in $(seq "$runs_small"); do
    rm -f "$work/out/"proxy-small.*
    http_proxy=127.0.0.1:$proxy_port run l-absent ravelok "$ravelok" "$work/jobs/proxy-small"
    http_proxy=127.0.0.1:$proxy_port run l-absent curl curl -s -o "$work/out/proxy-small.curl" \
      "http://127.0.0.1:$nginx_port/small.bin"
    for tool in ravelok curl; do expect_saved "$tool" "$work/out/proxy-small.$tool" "$work/www/small.bin"; done
  done
  kill "$proxy_pid" 2>/dev/null || true
  wait "$proxy_pid" 2>/dev/null || true
  # Every request of both tools went through the proxy.
  through=$(grep -c "GET http://127.0.0.1:$nginx_port/small.bin" "$work/tinyproxy.log" || true)
  if [ "$through" != $((2 * runs_small)) ]; then
    echo "tinyproxy saw $through requests, $((2 * runs_small)) expected" >&2
    exit 1
  fi
fi

if want p; then
  echo "p. 1 GiB GET with Keep=1 against the same GET without it, absent and present, $runs_large runs each ..."
  # "plain" is ravelok without Keep (the jobs of case b), the figure Keep is
  # measured against; "ravelok" the same GET with Keep=1. "synced", in the
  # absent form, is the plain GET followed by an fsync of its file (coreutils
  # sync FILE): the same bytes on the disk, as Keep must have them before it
  # renames.
  for i in $(seq "$runs_large"); do
    for tool in plain synced ravelok; do
      job=large
      [ "$tool" = ravelok ] && job=keep
      file=$work/out/$job.ravelok
      check=size
      [ "$i" = 1 ] && check=all
      rm -f "$work/out/"large.* "$work/out/"keep.*
      sleep "$settle"
      if [ "$tool" = synced ]; then
        run p-absent synced sh -c '"$1" "$2" && sync "$3"' sh "$ravelok" "$work/jobs/$job" "$file"
        expect_saved ravelok "$file" "$work/www/large.bin" size
        continue
      fi
      run p-absent "$tool" "$ravelok" "$work/jobs/$job"
      expect_saved ravelok "$file" "$work/www/large.bin" "$check"
      sync "$file"
      sleep "$settle"
      run p-present "$tool" "$ravelok" "$work/jobs/${job}2"
      expect_saved ravelok "$file" "$work/www/large2.bin" "$check"
      # Nothing is left beside the save file.
      if [ "$(ls -A "$work/out" | grep -c '\.ravelok-new$' || true)" != 0 ]; then
        echo "ravelok left a new file beside the save file: $(ls -A "$work/out")" >&2
        exit 1
      fi
    done
  done
  rm -f "$work/out/"large.* "$work/out/"keep.*
fi

if want q; then
  echo "q. 1 GiB GET with one [Expect] text against the same GET without it, save file absent, $runs_check runs each ..."
  search_ms=$("$work/search_cost" "$expect_text")
  echo "   the search alone: $search_ms ms per GiB"
  # "plain" is ravelok without the check, "ravelok" the same GET with it.
  # The check costs a few hundredths of the run, less than the spread
  # between two runs of the same GET, so this case runs more often than the
  # others, and the two take turns at going first.
  for i in $(seq "$runs_check"); do
    order="plain ravelok"
    [ $((i % 2)) = 0 ] && order="ravelok plain"
    for tool in $order; do
      job=marked
      [ "$tool" = ravelok ] && job=expect
      check=size
      [ "$i" -le 2 ] && check=all
      rm -f "$work/out/"marked.*
      sleep "$settle"
      run q-absent "$tool" "$ravelok" "$work/jobs/$job"
      expect_saved ravelok "$work/out/marked.ravelok" "$work/www/marked.bin" "$check"
    done
  done
  rm -f "$work/out/"marked.*
fi

# ---------------------------------------------------------------------- table
# median FILE COLUMN
median() {
  cut -d' ' -f"$2" "$1" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
seconds_text() {
  awk -v s="$1" 'BEGIN { if (s < 1) printf "%.1f ms", s * 1000; else printf "%.2f s", s }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# The CPU ratio: "–" where curl's CPU time is below the clock's resolution.
cpu_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "–" }'; }

cases=(a-absent a-present b-absent b-present c-present d-absent d-present e-absent f-absent g-present h-present
       i-present j-present k-present n-present l-absent m-absent o-absent p-absent p-present
       q-absent)
declare -A case_title=(
  [a]="a. GET, 1 KiB answer"
  [b]="b. GET, 1 GiB answer"
  [c]="c. upload POST of a 1 GiB file"
  [d]="d. form POST, $form_variables variables"
  [e]="e. HTTPS GET, 1 KiB answer, CAFile"
  [f]="f. HTTPS GET, 1 GiB answer"
  [g]="g. HTTPS upload POST of a 1 GiB file"
  [h]="h. upload POST of a 256 MiB file just written"
  [i]="i. upload POST of a 1 GiB file, TEMP missing"
  [j]="j. POST of a 1 GiB Body file"
  [k]="k. HTTPS POST of a 1 GiB Body file"
  [l]="l. GET through tinyproxy, 1 KiB answer"
  [m]="m. GET, 1 KiB answer through a 302 (Follow=1; curl -L)"
  [n]="n. PUT of a 1 GiB Body file"
  [o]="o. HTTPS GET, 1 KiB answer, client certificate (curl --cert)"
  [p]="p. GET, 1 GiB answer, Keep=1 (ratios to ravelok without Keep)"
  [q]="q. GET, 1 GiB answer, one [Expect] text found at its end (ratios to ravelok without it)"
)
declare -A form_title=([absent]="save file absent" [present]="save file present")
# Targets for ravelok, the same for both forms of a case: the wall-time
# ratio to curl, and a peak RSS in MiB (empty: none).
# Case e's target is set against its floor row: at most 0.1 above it; so are
# the uploads' (c, g, h) where the least uploader leaves their own no room. Case
# i's is to succeed byte for byte (checked above), whatever the time.
declare -A wall_target=([a]=0.35 [b]=0.9 [c]=0.8 [d]=0.35 [e]=floor+0.1 [f]=1.0 [g]=0.9 [h]=0.8 [i]="" [j]=0.9 [k]=1.0 [l]=1.0 [m]=0.5 [n]=0.8 [o]=e+0.05 [p]=1.1 [q]=1.05)
declare -A rss_target=([a]="" [b]=16 [c]=16 [d]="" [e]="" [f]=24 [g]=24 [h]="" [i]=16 [j]=16 [k]=24 [l]="" [m]="" [n]=16 [o]="" [p]=16 [q]=16)
# The floor rows: what no program doing the same work can go below.
declare -A floor_tool=([e]="OpenSSL alone" [c]="the least uploader" [g]="the least uploader"
                       [h]="the least uploader")

table=$work/table.md
{
  echo "| Case | Tool | Runs | Wall time | CPU time | Peak RSS | Wall / curl | CPU / curl | RSS / curl | Target for ravelok |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for case in "${cases[@]}"; do
    letter=${case%%-*}
    # Cases p and q compare ravelok with Keep or the check to ravelok
    # without it, not to curl.
    base=curl
    tools="ravelok curl wget floor"
    if [ "$letter" = p ] || [ "$letter" = q ]; then base=plain; tools="ravelok plain synced"; fi
    # A case left out by BENCH_ONLY has no figures.
    [ -f "$work/results/$case.$base" ] || continue
    title="${case_title[$letter]}, ${form_title[${case#*-}]}"
    curl_wall=$(median "$work/results/$case.$base" 1)
    curl_rss=$(median "$work/results/$case.$base" 2)
    curl_cpu=$(median "$work/results/$case.$base" 4)
    for tool in $tools; do
      file=$work/results/$case.$tool
      { [ "$tool" = floor ] || [ "$tool" = synced ]; } && [ ! -f "$file" ] && continue
      if [ ! -f "$file" ]; then
        why="wget cannot send multipart/form-data, so it has no upload figure"
        [ "$letter" \> d ] && why="this case compares with curl alone"
        echo "| $title | $tool | – | – | – | – | – | – | – | $why |"
        continue
      fi
      wall=$(median "$file" 1)
      rss=$(median "$file" 2)
      cpu=$(median "$file" 4)
      wall_ratio=$(ratio "$wall" "$curl_wall")
      target=""
      if [ "$tool" = ravelok ]; then
        goal=${wall_target[$letter]}
        shown_goal=$goal
        if [ "$goal" = floor+0.1 ]; then
          goal=$(awk -v f="$(median "$work/results/$case.floor" 1)" -v c="$curl_wall" 'BEGIN { printf "%.2f", f / c + 0.1 }')
          shown_goal="($goal: the floor + 0.1)"
        fi
        if [ "$letter" != e ] && [ -f "$work/results/$case.floor" ]; then
          # An upload's target is set against the least uploader where that
          # leaves it no room: at most 0.1 above the floor.
          floor_goal=$(awk -v f="$(median "$work/results/$case.floor" 1)" -v c="$curl_wall" 'BEGIN { printf "%.2f", f / c + 0.1 }')
          if awk -v f="$floor_goal" -v g="$goal" 'BEGIN { exit !(f > g) }'; then
            goal=$floor_goal
            shown_goal="($goal: the floor + 0.1)"
          fi
        fi
        if [ -f "$work/results/$case.synced" ]; then
          # With no old file, Keep's fsync makes the disk's write of the
          # gigabyte part of the run, which the plain GET leaves to the
          # kernel after it has ended: the target is set against the GET
          # that ends with the same bytes on the disk.
          goal=$(awk -v f="$(median "$work/results/$case.synced" 1)" -v c="$curl_wall" -v t="$goal" \
            'BEGIN { printf "%.2f", f / c * t }')
          shown_goal="($goal: ${wall_target[p]} × the synced GET)"
        fi
        if [ "$goal" = e+0.05 ]; then
          # The client certificate costs both tools a signature and the
          # server a check: ravelok's ratio may grow by 0.05 over case e's.
          goal=$(awk -v r="$(median "$work/results/e-absent.ravelok" 1)" -v c="$(median "$work/results/e-absent.curl" 1)" \
            'BEGIN { printf "%.2f", r / c + 0.05 }')
          shown_goal="($goal: case e's ratio + 0.05)"
        fi
        if [ -n "$goal" ]; then
          met=$(awk -v r="$wall_ratio" -v t="$goal" 'BEGIN { print (r <= t ? "met" : "missed") }')
          target="wall ≤ $shown_goal × curl: $met"
          [ "$letter" = p ] && target="wall ≤ $shown_goal × ravelok without Keep: $met"
          [ "$letter" = q ] && target="wall ≤ $shown_goal × ravelok without the check: $met"
        else
          target="succeeds, byte for byte at the sink: met"
        fi
        if [ -n "${rss_target[$letter]}" ]; then
          met=$(awk -v k="$rss" -v t="${rss_target[$letter]}" 'BEGIN { print (k / 1024 <= t ? "met" : "missed") }')
          target+="; RSS ≤ ${rss_target[$letter]} MiB: $met"
        fi
      fi
      shown=$tool
      [ "$letter" = p ] && [ "$tool" = ravelok ] && shown="ravelok, Keep=1"
      [ "$letter" = q ] && [ "$tool" = ravelok ] && shown="ravelok, [Expect] 1"
      [ "$tool" = plain ] && shown="ravelok without Keep"
      [ "$tool" = synced ] && shown="ravelok without Keep, then sync FILE" &&
        target="the same bytes on the disk as Keep leaves them"
      [ "$letter" = q ] && [ "$tool" = plain ] && shown="ravelok without [Expect]"
      if [ "$tool" = floor ]; then
        shown=${floor_tool[$letter]}
        if [ "$letter" = e ]; then
          target="floor: the least client on the system's OpenSSL (bench/tls_floor.c)"
        else
          target="floor: the least uploader, the file read and sent (bench/upload_floor.c)"
        fi
      fi
      printf '| %s | %s | %s | %s | %s | %.1f MiB | %s | %s | %s | %s |\n' "$title" "$shown" \
        "$(wc -l <"$file")" "$(seconds_text "$wall")" "$(seconds_text "$cpu")" \
        "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "$wall_ratio" "$(cpu_ratio "$cpu" "$curl_cpu")" \
        "$(ratio "$rss" "$curl_rss")" "$target"
    done
  done
} >"$table"

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then commit+=" with local changes"; fi
report=$work/report.md
{
  echo "# Benchmarks"
  echo
  echo "Measured by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') on a machine with $(nproc) cores"
  echo "(load average before the run: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg))."
  echo "ravelok $commit (Release build), $(curl --version | head -n 1 | cut -d' ' -f1-2),"
  echo "$(wget --version | head -n 1 | cut -d' ' -f1-3), $(nginx -v 2>&1 | sed 's/.*: //')."
  echo
  echo "Each figure is the median of its runs: wall time from process start to exit, CPU time"
  echo "(user + system, of the process and what it waited for), and the peak resident set size"
  echo "the kernel reports for the process. The GETs are served by nginx"
  echo "from files on loopback; the POSTs go to a small sink (\`bench/sink.c\`) that reads the whole"
  echo "body before it answers and tells how many bytes it received, which the script checks."
  echo "The sink drops a body in the kernel without copying it (\`recv\` with \`MSG_TRUNC\`), so the"
  echo "client's own cost decides the figure; only the targets ending in \`-checked\` are copied"
  echo "out to compute their CRC. It answers a request's \`Expect: 100-continue\` with"
  echo "\`100 Continue\` at once, as nginx does: curl asks for it for every upload over 1 MiB"
  echo "and no longer waits a second for it (ravelok does not ask)."
  echo "The HTTPS cases (e, f, g) go to the same nginx with TLS on another port (a certificate"
  echo "made for the run, trusted through CAFile and curl's \`--cacert\`); their uploads pass"
  echo "through nginx to the sink as they arrive."
  echo "Floor rows measure the least possible work rather than tools. \"OpenSSL alone\" (case e) is the least"
  echo "client on the system's OpenSSL (\`bench/tls_floor.c\`: load the library, a context, the"
  echo "CA file, one handshake, one GET): no program using that library starts faster."
  echo "\"the least uploader\" (cases c, g, h) is \`bench/upload_floor.c\`: it reads the file in"
  echo "pieces of 512 KiB and sends each whole (over TLS in case g), with no framing and no"
  echo "search. ravelok reads an upload file once, in pieces of 512 KiB that it searches for"
  echo "the multipart delimiter and then sends. Where the least uploader leaves a target no room,"
  echo "the target is set at most 0.1 above it, as case e's is."
  echo "Case h writes its file right before each run, with no pause: the file a job has just"
  echo "produced, in the page cache. Case i points TEMP at a directory that does not exist; the"
  echo "sink's CRC of the body is checked against cksum's of the body as it must be. Cases j"
  echo "and k send a 1 GiB Body file as the whole body of a POST, curl with \`-X POST -T\`, which"
  echo "streams it too; one more run of ravelok each, not measured, is checked byte for byte"
  echo "by the sink's CRC against cksum's of the file. Case n sends the same file by PUT"
  echo "(curl \`-T\`), checked the same way."
  echo "Case q fetches a 1 GiB answer whose last bytes hold the text of an [Expect] entry, so"
  echo "the check looks at every byte; it is measured against the same GET without the entry."
  echo "The search alone (\`bench/search_cost.cpp\`: the program's matcher over 1 GiB in the"
  echo "4 KiB pieces the exchange hands it) takes $search_ms ms, a few hundredths of the GET and"
  echo "less than the spread between two runs of the same GET (writing a gigabyte into memory"
  echo "the virtual machine has handed back to its host), so case q runs $runs_check times"
  echo "and the two forms take turns at going first."
  echo "Every case that saves a file runs in two forms: with the save file absent (a first run)"
  echo "and with it present, holding an earlier answer (the repeated job a scheduler starts);"
  echo "curl (\`-o\`) and wget (\`-O\`) overwrite their own files in the same way. In the present"
  echo "form of the GETs the file holds other bytes than the new answer, and every saved answer"
  echo "is checked. Each 1 GiB run starts after a pause of $settle s: the absent form with the"
  echo "1 GiB files removed, the present form with only the tool's own file from its absent run,"
  echo "written out to the disk first, so every tool starts from the same state of memory."
  echo
  cat "$table"
} >"$report"

echo
cat "$table"
if [ "$output" != "-" ]; then
  mkdir -p "$(dirname "$output")"
  cp "$report" "$output"
  echo
  echo "Written to $output"
fi
