#!/usr/bin/env bash
# Download benchmark: our client (bench_download) against curl, both fetching
# the same large file from a local nginx on 127.0.0.1. Prints the medians of
# whole-process wall time and peak RSS and the ratios ours/curl; then our
# client hashing the package as it streams (as a signed installation does)
# against the same client without hashing, runs interleaved.
#
#   bash bench/download/run.sh [BUILD_DIR]
#
# Environment: SIZE_MIB (default 256), RUNS (default 5), RATE (nginx's
# limit_rate per connection for the plain and hashing runs, e.g. 100m for a
# line of about 800 Mbit/s; default: unlimited, as fast as loopback goes).
# Goals: time at most curl's; peak memory under 64 MiB whatever the size;
# hashing costs at most 10 % more time than not hashing.
#
# The hash (BLAKE2b-512, libsodium's) runs on one core; where it is slower
# than the transfer, it and not our code sets the time of a hashing
# download. So the run also times the same hash of the file alone (the
# floor no hashing download can beat) and repeats plain against hashing on
# a line at 3/4 of the hash's own speed (HASH_LINE_RATE overrides it, in
# nginx's limit_rate terms).
#
# CUT=1 measures instead a download cut once at 50 %: a proxy on 127.0.0.1
# (cut_proxy.py) closes every download from the start after half the file
# and lets resumes (requests with a Range) pass. nginx sends at CUT_RATE
# (default 16m per second, a good home line: on loopback a 1 s wait before
# the retry would otherwise dwarf the transfer). Ours runs with
# "Update/Retries" = 3 in its Localcfg.ini; the peer is curl -C - started
# again 1 s after a break (curl's own --retry starts over). Goal: the cut download takes at most 1.1 times the uncut one, both
# through the same proxy, in the same run.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
size_mib=${SIZE_MIB:-256}
runs=${RUNS:-5}
rate=${RATE:-0}
cut_mode=${CUT:-0}
cut_rate=${CUT_RATE:-16m}

for tool in nginx curl /usr/bin/time python3 cmp b2sum; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh installs it)" >&2; exit 1; }
done

if [ ! -x "$build/bin/bench_download" ]; then
    [ -f "$build/CMakeCache.txt" ] || cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target bench_download -j2 >/dev/null
fi
driver=$build/bin/bench_download

work=$(mktemp -d)
nginx_pid=""
proxy_pids=()
cleanup() {
    for pid in "${proxy_pids[@]}" $nginx_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# nginx's workers may run as another user: let them read the served file.
chmod 755 "$work"
mkdir -p "$work/www" "$work/temp" "$work/ours" "$work/curl" "$work/hash"
chmod 755 "$work/www"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/www/client_v2.zip"
chmod 644 "$work/www/client_v2.zip"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
slow_port=$(free_port)
line_port=$(free_port)
# One measured run: "<wall seconds> <peak RSS KiB>" on stdout.
measure() {
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$work/rss" "$@" > "$work/stdout" || { echo "run failed: $*" >&2; exit 1; }
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000 )) $(cat "$work/rss")"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The hash of the file alone, by the same library: the floor of any download
# that hashes. Timed before nginx starts; it also sets the line of the second
# hashing pass (whole bytes per second).
: > "$work/floor.txt"
for _ in $(seq "$runs"); do
    measure "$driver" --hash-file "$work/www/client_v2.zip" >> "$work/floor.txt"
done
floor_us=$(cut -d' ' -f1 "$work/floor.txt" | median)
line_rate=${HASH_LINE_RATE:-$(awk -v b="$((size_mib * 1024 * 1024))" -v us="$floor_us" 'BEGIN { printf "%d", 0.75 * b / (us / 1e6) }')}

cat > "$work/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    limit_rate $rate;
    client_body_temp_path $work/temp/body;
    proxy_temp_path $work/temp/proxy;
    fastcgi_temp_path $work/temp/fastcgi;
    uwsgi_temp_path $work/temp/uwsgi;
    scgi_temp_path $work/temp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
    server {
        listen 127.0.0.1:$slow_port;
        root $work/www;
        limit_rate $cut_rate;
    }
    server {
        listen 127.0.0.1:$line_port;
        root $work/www;
        limit_rate $line_rate;
    }
}
EOF
# Foreground under a time bound, so it ends by itself should this script die.
timeout 1800 nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" -g 'daemon off;' &
nginx_pid=$!
url=http://127.0.0.1:$port/client_v2.zip
for _ in $(seq 50); do
    curl -s -o /dev/null -r 0-0 "$url" && break
    sleep 0.1
done


if [ "$cut_mode" = 1 ]; then
    # One proxy that never cuts and one that cuts every download from the
    # start at half the file, both in front of the rate-limited server.
    start_proxy() { # NAME CUT_AFTER
        timeout 1800 python3 "$repo/bench/download/cut_proxy.py" "$slow_port" "$2" "$work/$1.port" 1800 \
            2>>"$work/proxy.log" &
        proxy_pids+=($!)
        for _ in $(seq 50); do [ -s "$work/$1.port" ] && break; sleep 0.1; done
        [ -s "$work/$1.port" ] || { echo "the $1 proxy did not start" >&2; exit 1; }
    }
    start_proxy plain 0
    start_proxy cutting "$((size_mib * 1024 * 1024 / 2))"
    uncut_url=http://127.0.0.1:$(cat "$work/plain.port")/client_v2.zip
    cut_url=http://127.0.0.1:$(cat "$work/cutting.port")/client_v2.zip
    for dir in ours_uncut ours_cut curl_uncut curl_cut; do
        mkdir -p "$work/$dir"
        printf '[Update]\nRetries=3\n' > "$work/$dir/Localcfg.ini"
    done

    # Ours: the package and any record of a partial one from the last run go.
    run_ours_in() { rm -f "$work/$1/client_v2.zip" "$work/$1/client_v2.zip.resume"; measure "$driver" "$2" "$work/$1"; }
    # curl's own --retry starts over; resuming takes a new curl with -C -,
    # after the same 1 s as our first wait.
    run_curl_in() {
        rm -f "$work/$1/client_v2.zip"
        measure bash -c 'for _ in 1 2 3 4; do curl -s -C - -o "$1" "$2" && exit 0; sleep 1; done; exit 1' \
            curl_resume "$work/$1/client_v2.zip" "$2"
    }
    check() { cmp -s "$work/www/client_v2.zip" "$work/$1/client_v2.zip" || { echo "$1: download differs" >&2; exit 1; }; }

    : > "$work/proxy.log"
    run_curl_in curl_cut "$cut_url" >/dev/null
    check curl_cut
    grep -q "cut a download" "$work/proxy.log" || { echo "the proxy cut nothing" >&2; exit 1; }
    rm -f "$work/ours_cut/client_v2.zip" "$work/ours_cut/client_v2.zip.resume"
    if ! "$driver" "$cut_url" "$work/ours_cut" 2>"$work/ours_cut.err"; then
        echo "our download did not survive the cut: $(cat "$work/ours_cut.err")" >&2
        echo "(the driver must read \"Update/Retries\" from the Localcfg.ini beside it)" >&2
        exit 1
    fi
    check ours_cut

    for name in ours_uncut ours_cut curl_uncut curl_cut; do : > "$work/$name.txt"; done
    for _ in $(seq "$runs"); do
        run_ours_in ours_uncut "$uncut_url" >> "$work/ours_uncut.txt"
        run_ours_in ours_cut "$cut_url" >> "$work/ours_cut.txt"
        run_curl_in curl_uncut "$uncut_url" >> "$work/curl_uncut.txt"
        run_curl_in curl_cut "$cut_url" >> "$work/curl_cut.txt"
    done
    check ours_cut
    check ours_uncut

    echo "Download of ${size_mib} MiB at $cut_rate/s through a proxy on 127.0.0.1, cut once at 50 %, median of $runs runs"
    t() { cut -d' ' -f1 "$work/$1.txt" | median; }
    awk -v ou="$(t ours_uncut)" -v oc="$(t ours_cut)" -v cu="$(t curl_uncut)" -v cc="$(t curl_cut)" 'BEGIN {
        printf "| %-10s | %12s | %12s | %9s |\n", "tool", "uncut (s)", "cut (s)", "cut/uncut"
        printf "|%s|%s|%s|%s|\n", "------------", "--------------", "--------------", "-----------"
        printf "| %-10s | %12.3f | %12.3f | %9.2f |\n", "ours", ou / 1e6, oc / 1e6, oc / ou
        printf "| %-10s | %12.3f | %12.3f | %9.2f |\n", "curl", cu / 1e6, cc / 1e6, cc / cu
        printf "goal ours cut/uncut <= 1.10: %s\n", (oc <= 1.1 * ou ? "met" : "missed")
    }'
    exit 0
fi

run_ours() { rm -f "$work/ours/client_v2.zip"; measure "$driver" "$url" "$work/ours"; }
run_curl() { rm -f "$work/curl/client_v2.zip"; measure curl -s -o "$work/curl/client_v2.zip" "$url"; }
run_hash() { rm -f "$work/hash/client_v2.zip"; measure "$driver" --hash "$url" "$work/hash"; }

# Warm-up (page cache, first connection), and a check that both got every byte.
run_ours >/dev/null
run_curl >/dev/null
cmp -s "$work/www/client_v2.zip" "$work/ours/client_v2.zip" || { echo "our download differs" >&2; exit 1; }
cmp -s "$work/www/client_v2.zip" "$work/curl/client_v2.zip" || { echo "curl's download differs" >&2; exit 1; }
# The streamed hash must be the file's BLAKE2b-512, as b2sum computes it.
run_hash >/dev/null
cmp -s "$work/www/client_v2.zip" "$work/hash/client_v2.zip" || { echo "our hashed download differs" >&2; exit 1; }
[ "$(cat "$work/stdout")" = "$(b2sum "$work/www/client_v2.zip" | cut -d' ' -f1)" ] \
    || { echo "the streamed hash differs from b2sum's" >&2; exit 1; }

: > "$work/ours.txt"
: > "$work/curl.txt"
: > "$work/hash.txt"
for _ in $(seq "$runs"); do
    run_ours >> "$work/ours.txt"
    run_curl >> "$work/curl.txt"
    run_hash >> "$work/hash.txt"
done

ours_us=$(cut -d' ' -f1 "$work/ours.txt" | median)
curl_us=$(cut -d' ' -f1 "$work/curl.txt" | median)
ours_kib=$(cut -d' ' -f2 "$work/ours.txt" | median)
curl_kib=$(cut -d' ' -f2 "$work/curl.txt" | median)
hash_us=$(cut -d' ' -f1 "$work/hash.txt" | median)
hash_kib=$(cut -d' ' -f2 "$work/hash.txt" | median)

echo "Download of ${size_mib} MiB from nginx on 127.0.0.1, median of $runs runs"
awk -v ot="$ours_us" -v ct="$curl_us" -v om="$ours_kib" -v cm="$curl_kib" 'BEGIN {
    printf "| %-16s | %10s | %10s | %9s |\n", "metric", "ours", "curl", "ours/curl"
    printf "|%s|%s|%s|%s|\n", "------------------", "------------", "------------", "-----------"
    printf "| %-16s | %10.3f | %10.3f | %9.2f |\n", "wall time (s)", ot / 1e6, ct / 1e6, ot / ct
    printf "| %-16s | %10.1f | %10.1f | %9.2f |\n", "peak RSS (MiB)", om / 1024, cm / 1024, om / cm
}'
awk -v ot="$ours_us" -v ct="$curl_us" -v om="$ours_kib" 'BEGIN {
    printf "goal time <= curl: %s; goal peak RSS < 64 MiB: %s\n", (ot <= ct ? "met" : "missed"), (om < 65536 ? "met" : "missed")
}'

# Plain against hashing again, on a line slower than the hash: there the
# hash keeps up, and only our way of hashing can cost time.
line_url=http://127.0.0.1:$line_port/client_v2.zip
: > "$work/line_ours.txt"
: > "$work/line_hash.txt"
for _ in $(seq "$runs"); do
    rm -f "$work/ours/client_v2.zip"; measure "$driver" "$line_url" "$work/ours" >> "$work/line_ours.txt"
    rm -f "$work/hash/client_v2.zip"; measure "$driver" --hash "$line_url" "$work/hash" >> "$work/line_hash.txt"
done
line_ours_us=$(cut -d' ' -f1 "$work/line_ours.txt" | median)
line_hash_us=$(cut -d' ' -f1 "$work/line_hash.txt" | median)

# The same hash by a peer tool, for scale.
: > "$work/b2sum.txt"
for _ in $(seq "$runs"); do
    measure b2sum "$work/www/client_v2.zip" >> "$work/b2sum.txt"
done
b2sum_us=$(cut -d' ' -f1 "$work/b2sum.txt" | median)

echo
echo "Hashing while downloading, median of $runs runs"
awk -v ot="$ours_us" -v ht="$hash_us" -v om="$ours_kib" -v hm="$hash_kib" -v bt="$b2sum_us" \
    -v ft="$floor_us" -v lo="$line_ours_us" -v lh="$line_hash_us" -v lr="$line_rate" -v r="$rate" 'BEGIN {
    printf "| %-28s | %10s | %11s | %13s |\n", "line", "plain (s)", "hashing (s)", "hashing/plain"
    printf "|%s|%s|%s|%s|\n", "------------------------------", "------------", "-------------", "---------------"
    printf "| %-28s | %10.3f | %11.3f | %13.2f |\n", (r == "0" ? "unlimited" : "nginx limit_rate " r), ot / 1e6, ht / 1e6, ht / ot
    printf "| %-28s | %10.3f | %11.3f | %13.2f |\n", sprintf("nginx limit_rate %.0f MB/s", lr / 1e6), lo / 1e6, lh / 1e6, lh / lo
    printf "peak RSS: hashing %.1f MiB, plain %.1f MiB\n", hm / 1024, om / 1024
    printf "the hash alone (same library, file in the page cache): %.3f s = %.2f x plain; b2sum: %.3f s\n", ft / 1e6, ft / ot, bt / 1e6
    floor = (ft > ot) ? ft : ot
    printf "hashing / max(plain, hash alone): %.2f\n", ht / floor
    printf "goal hashing time <= 1.10 x plain, %s: %s%s\n", (r == "0" ? "unlimited" : "limit_rate " r), (ht <= 1.10 * ot ? "met" : "missed"),
        (ft > 1.10 * ot ? " (out of reach: the hash alone takes longer than that)" : "")
    printf "goal hashing time <= 1.10 x plain, line below the hash: %s\n", (lh <= 1.10 * lo ? "met" : "missed")
}'
