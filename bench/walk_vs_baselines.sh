#!/usr/bin/env bash
# shopwalk-cli's walk beside baselines, against local servers serving the same page mix (the
# demo marketplace's shops: home pages of shops that exist and that do not, and rating pages).
# Prints figures; asserts nothing but that every walk found the same rows.
#
#   bench/walk_vs_baselines.sh BUILD_DIR [--ids N] [--threads N] [--runs N] [--seconds N]
#
# BUILD_DIR holds a build with cli/shopwalk-cli and tools/demo_marketplace. The page mix is
# written as static files by `demo_marketplace --pages`, and served by an nginx of its own (one
# worker, on 127.0.0.1 and free ports, started and stopped here):
#  (a) every page from nginx: `shopwalk-cli walk --rate 0` over --ids shop IDs (default 10,000)
#      with --threads threads (default 20), beside wrk sending the same requests for --seconds
#      (default 10) on as many connections, a new connection per request (-H "Connection: close")
#      and connections kept alive;
#  (b) home pages from nginx, rating pages from the demo marketplace behind it (5 to 50 ms each):
#      shopwalk-cli beside bench/aiohttp_walk.py (one aiohttp session, default connector, as many
#      requests at once as shopwalk has threads);
#  (c) the demo marketplace alone, 2,000 IDs: both walks keep connections alive against it.
# Beside (a), bench_curl_ceiling (when built) sends the same requests with libcurl alone, from
# one and from two multi-handle loops, as many at once as shopwalk has threads: the most any walk
# built on libcurl can reach here.
# Each walk runs --runs times (default 3); the median run by IDs per second is shown. CPU is
# the walking process's user + system time. The rows of every run are compared.
#
# nginx, wrk and python3-aiohttp come from Debian and are installed here when missing (as root),
# without letting the packages start services of their own.
set -euo pipefail

usage() {
  echo "usage: $0 BUILD_DIR [--ids N] [--threads N] [--runs N] [--seconds N]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd) || usage
shift
ids=10000
threads=20
runs=3
wrk_seconds=10
demo_ids=2000
while [ $# -gt 0 ]; do
  case "$1" in
    --ids) ids=${2:?}; shift 2 ;;
    --threads) threads=${2:?}; shift 2 ;;
    --runs) runs=${2:?}; shift 2 ;;
    --seconds) wrk_seconds=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
for number in "$ids" "$threads" "$runs" "$wrk_seconds"; do
  [[ $number =~ ^[1-9][0-9]*$ ]] || usage
done
here=$(cd "$(dirname "$0")" && pwd)
cli=$build/cli/shopwalk-cli
demo=$build/tools/demo_marketplace
python=/usr/bin/python3
first=109428413
last=$((first + ids - 1))
for program in "$cli" "$demo"; do
  [ -x "$program" ] || { echo "$0: $program is missing (build it first)" >&2; exit 1; }
done

# Installs the Debian packages that are missing. A policy-rc.d that exits 101 keeps their
# services from starting while they install; one that was there before is put back afterwards.
install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "$0: needs ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  local policy=/usr/sbin/policy-rc.d saved=""
  if [ -e "$policy" ]; then
    saved=$(mktemp)
    cp -p "$policy" "$saved"
  fi
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  local status=0
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null; } || status=$?
  if [ -n "$saved" ]; then
    cp -p "$saved" "$policy"
    rm -f "$saved"
  else
    rm -f "$policy"
  fi
  [ $status -eq 0 ] || { echo "$0: could not install ${missing[*]}" >&2; exit 1; }
}
install_missing nginx wrk python3-aiohttp
nginx=/usr/sbin/nginx

tmp=$(mktemp -d)
chmod 755 "$tmp"  # the nginx worker may run as another user
nginx_pid=""
demo_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && { kill -QUIT "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null; }
  [ -n "$demo_pid" ] && { kill "$demo_pid" 2>/dev/null; wait "$demo_pid" 2>/dev/null; }
  rm -rf "$tmp"
}
trap cleanup EXIT

free_port() {
  "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The page mix, and the requests a walk over the IDs makes.
"$demo" --pages "$tmp/pages" "$first" "$last"
requests=$(wc -l <"$tmp/pages/requests.txt")

"$demo" 0 >"$tmp/demo.out" &
demo_pid=$!
demo_port=""
for _ in $(seq 100); do
  demo_port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$tmp/demo.out")
  [ -n "$demo_port" ] && break
  sleep 0.1
done
[ -n "$demo_port" ] || { echo "$0: the demo marketplace did not start" >&2; exit 1; }

static_port=$(free_port)
mixed_port=$(free_port)
mkdir -p "$tmp/nginx"
shop_server() {  # shop<ID>.velmo.com: the home page file of the ID
  cat <<EOF
  server {
    listen 127.0.0.1:$1;
    server_name ~^shop(?<id>[0-9]+)\.velmo\.com\$;
    root $tmp/pages/shop;
    location = / { try_files /\$id.html =404; }
  }
EOF
}
cat >"$tmp/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log warn;
events { worker_connections 16384; }
http {
  access_log off;
  server_tokens off;
  default_type text/html;
  keepalive_requests 1000000;
  upstream demo_marketplace {
    server 127.0.0.1:$demo_port;
    keepalive 64;
  }
$(shop_server "$static_port")
  server {
    listen 127.0.0.1:$static_port;
    server_name rate.velmo.com;
    root $tmp/pages/rate;
    location / { try_files \$uri =404; }
  }
$(shop_server "$mixed_port")
  server {
    listen 127.0.0.1:$mixed_port;
    server_name rate.velmo.com;
    location / {
      proxy_pass http://demo_marketplace;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host \$host;
    }
  }
}
EOF
"$nginx" -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -e "$tmp/nginx/error.log" -g 'daemon off;' &
nginx_pid=$!
up=""
for _ in $(seq 100); do
  if curl -sf -o /dev/null -H "Host: rate.velmo.com" \
      "http://127.0.0.1:$mixed_port$(sed -n 's/^rate\.velmo\.com //p;T;q' "$tmp/pages/requests.txt")"; then
    up=1
    break
  fi
  sleep 0.1
done
[ -n "$up" ] || { echo "$0: nginx did not start" >&2; cat "$tmp/nginx/error.log" >&2; exit 1; }

# One walk of shopwalk-cli: NAME CONNECT FIRST COUNT; prints "seconds cpu-seconds" and leaves
# its rows in $tmp/NAME.jsonl.
walk_shopwalk() {
  local name=$1 connect=$2 from=$3 count=$4
  local TIMEFORMAT='%R %U %S'
  local timing status=0
  export SHOPWALK_CONNECT_TO=$connect XDG_CONFIG_HOME=$tmp/xdg XDG_DATA_HOME=$tmp/xdg
  timing=$( { time "$cli" walk --from "$from" --count "$count" --threads "$threads" --rate 0 \
      --db "$tmp/$name.db" --quiet >"$tmp/$name.log" 2>&1; } 2>&1) || status=$?
  if [ $status -ne 0 ] || ! "$cli" export --db "$tmp/$name.db" --out "$tmp/$name.jsonl" \
      >>"$tmp/$name.log" 2>&1; then
    echo "$0: the walk $name failed:" >&2
    cat "$tmp/$name.log" >&2
    exit 1
  fi
  echo "$timing" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}

# One walk of the aiohttp baseline, the same way.
walk_aiohttp() {
  local name=$1 connect=$2 from=$3 count=$4
  "$python" "$here/aiohttp_walk.py" --connect "$connect" --from "$from" --count "$count" \
    --workers "$threads" --out "$tmp/$name.jsonl" 2>"$tmp/$name.log" |
    awk '{ print $4, $6; if ($10 != 0) print "aiohttp: " $10 " requests failed" > "/dev/stderr" }'
}

# Runs WALKER NAME CONNECT FIRST COUNT --runs times; prints the median run: "ids/s cpu-per-1000".
median_walk() {
  local walker=$1 name=$2 connect=$3 from=$4 count=$5 run
  for run in $(seq "$runs"); do
    "$walker" "$name-$run" "$connect" "$from" "$count"
  done | awk -v count="$count" '{ rate[NR] = count / $1; cpu[NR] = $2 * 1000 / count }
    END {
      n = NR; for (i = 1; i <= n; i++) order[i] = i
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
        if (rate[order[j]] < rate[order[i]]) { t = order[i]; order[i] = order[j]; order[j] = t }
      m = order[int((n + 1) / 2)]
      printf "%.0f %.3f\n", rate[m], cpu[m]
    }'
}

wrk_rate() {  # PORT [wrk options]: requests per second
  local port=$1
  shift
  wrk -t2 -c"$threads" -d"${wrk_seconds}s" -s "$here/wrk_requests.lua" "$@" \
    "http://127.0.0.1:$port/" -- "$tmp/pages/requests.txt" >"$tmp/wrk.log" 2>&1
  grep -E "Non-2xx|Socket errors" "$tmp/wrk.log" >&2 || true
  awk '/^Requests\/sec:/ { printf "%.0f\n", $2 }' "$tmp/wrk.log"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "shop IDs $first to $last ($ids IDs, $requests requests), $threads workers, median of $runs runs"
echo "nginx $($nginx -v 2>&1 | sed 's/.*\///'), one worker; demo marketplace on 127.0.0.1:$demo_port"
echo

echo "(a) every page from nginx"
wrk_close=$(wrk_rate "$static_port" -H "Connection: close")
wrk_keep=$(wrk_rate "$static_port")
read -r sw_a sw_a_cpu < <(median_walk walk_shopwalk shopwalk-a "127.0.0.1:$static_port" "$first" "$ids")
read -r ah_a ah_a_cpu < <(median_walk walk_aiohttp aiohttp-a "127.0.0.1:$static_port" "$first" "$ids")
printf "  %-36s %8s requests/s\n" "wrk, a new connection per request" "$wrk_close"
printf "  %-36s %8s requests/s\n" "wrk, connections kept alive" "$wrk_keep"
ceiling=$build/bench/bench_curl_ceiling
if [ -x "$ceiling" ]; then
  # Five times the walk's requests: long enough to measure.
  for _ in 1 2 3 4 5; do cat "$tmp/pages/requests.txt"; done >"$tmp/requests5.txt"
  for loops in 1 2; do
    line=$("$ceiling" "$tmp/requests5.txt" "127.0.0.1:$static_port" "$loops" \
      $(( (threads + loops - 1) / loops )))
    rate=$(echo "$line" | sed -n 's/.* \([0-9]*\) IDs\/s.*/\1/p')
    printf "  %-36s %8s IDs/s  (%sx wrk with new connections)\n" \
      "libcurl alone, $loops multi loop(s)" "$rate" "$(ratio "$rate" "$wrk_close")"
  done
fi
printf "  %-36s %8s IDs/s  %6.0f requests/s  %.3f CPU-s per 1,000 IDs\n" \
  "shopwalk-cli walk --rate 0" "$sw_a" "$(awk -v r="$sw_a" -v q="$requests" -v n="$ids" 'BEGIN { print r * q / n }')" "$sw_a_cpu"
printf "  %-36s %8s IDs/s  %6.0f requests/s  %.3f CPU-s per 1,000 IDs\n" \
  "aiohttp" "$ah_a" "$(awk -v r="$ah_a" -v q="$requests" -v n="$ids" 'BEGIN { print r * q / n }')" "$ah_a_cpu"
echo "  shopwalk IDs/s: $(ratio "$sw_a" "$wrk_close")x wrk with new connections (target 0.8)," \
  "$(ratio "$sw_a" "$wrk_keep")x wrk kept alive, $(ratio "$sw_a" "$ah_a")x aiohttp"
echo

echo "(b) rating pages from the demo marketplace (5-50 ms) behind nginx"
read -r sw_b sw_b_cpu < <(median_walk walk_shopwalk shopwalk-b "127.0.0.1:$mixed_port" "$first" "$ids")
read -r ah_b ah_b_cpu < <(median_walk walk_aiohttp aiohttp-b "127.0.0.1:$mixed_port" "$first" "$ids")
printf "  %-36s %8s IDs/s  %.3f CPU-s per 1,000 IDs\n" "shopwalk-cli walk --rate 0" "$sw_b" "$sw_b_cpu"
printf "  %-36s %8s IDs/s  %.3f CPU-s per 1,000 IDs\n" "aiohttp" "$ah_b" "$ah_b_cpu"
echo "  shopwalk: $(ratio "$sw_b" "$ah_b")x aiohttp (target 1.0)"
echo

echo "(c) the demo marketplace alone, $demo_ids IDs, connections kept alive"
read -r sw_c sw_c_cpu < <(median_walk walk_shopwalk shopwalk-c "127.0.0.1:$demo_port" "$first" "$demo_ids")
read -r ah_c ah_c_cpu < <(median_walk walk_aiohttp aiohttp-c "127.0.0.1:$demo_port" "$first" "$demo_ids")
printf "  %-36s %8s IDs/s  %.3f CPU-s per 1,000 IDs  (%.2f s for %d IDs)\n" \
  "shopwalk-cli walk --rate 0" "$sw_c" "$sw_c_cpu" "$(ratio "$demo_ids" "$sw_c")" "$demo_ids"
printf "  %-36s %8s IDs/s  %.3f CPU-s per 1,000 IDs  (%.2f s for %d IDs)\n" \
  "aiohttp" "$ah_c" "$ah_c_cpu" "$(ratio "$demo_ids" "$ah_c")" "$demo_ids"
echo

"$python" "$here/same_rows.py" "$tmp"/shopwalk-a-*.jsonl "$tmp"/shopwalk-b-*.jsonl \
  "$tmp"/aiohttp-a-*.jsonl "$tmp"/aiohttp-b-*.jsonl
"$python" "$here/same_rows.py" "$tmp"/shopwalk-c-*.jsonl "$tmp"/aiohttp-c-*.jsonl
