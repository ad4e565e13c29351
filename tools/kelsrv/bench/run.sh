#!/usr/bin/env bash
# The many-clients benchmark of kelsrv (Linux): starts BUILD/bin/kelsrv on a
# free loopback port, runs `kelcli bench` against it (all clients connect at
# the same moment, log on, make their echo exchanges and disconnect) and
# reports, besides the bench's own figures, kelsrv's peak thread count and
# memory and the system's listen-queue overflow counters before and after.
#   tools/kelsrv/bench/run.sh [BUILD [CLIENTS [EXCHANGES [KELSRV OPTIONS...]]]]
#   (defaults: build/native, 1000 clients, 200 exchanges)
set -euo pipefail
cd "$(dirname "$0")/../../.."
build=${1:-build/native} clients=${2:-1000} exchanges=${3:-200}
shift $(($# < 3 ? $# : 3))
[ -x "$build/bin/kelsrv" ] && [ -x "$build/bin/kelcli" ] || {
  echo "run.sh: build $build first (cmake --build --preset native)" >&2
  exit 2
}
# Every client and every connection needs a descriptor, in this shell only.
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d)
source scripts/kelsrv-run.sh
sampler=""
trap '[ -n "$sampler" ] && kill "$sampler" 2>/dev/null; kelsrv_stop; rm -rf "$work"' EXIT

# The TcpExt counters by name: "ListenOverflows ListenDrops".
listen_counters() {
  awk '/^TcpExt:/ { if (!names) { for (i = 2; i <= NF; i++) name[i] = $i; names = 1 } else {
         for (i = 2; i <= NF; i++) value[name[i]] = $i } }
       END { print value["ListenOverflows"], value["ListenDrops"] }' /proc/net/netstat
}

kelsrv_start "$work" 10 "$build/bin/kelsrv" -p 0 -u bench:secret "$@" || exit 1
# Thread count and resident memory, sampled every 20 ms while the bench runs
# (at most 20 minutes' worth); the peaks are in $work/peaks.
(
  max_threads=0 max_rss=0
  for _ in $(seq 60000); do
    read -r threads rss < <(awk '/^Threads:/ {t = $2} /^VmRSS:/ {r = $2} END {print t + 0, r + 0}' \
      "/proc/$server_pid/status" 2>/dev/null || echo "0 0")
    ((threads > max_threads)) && max_threads=$threads
    ((rss > max_rss)) && max_rss=$rss
    echo "$max_threads $max_rss" >"$work/peaks"
    sleep 0.02
  done
) &
sampler=$!

read -r overflows_before drops_before < <(listen_counters)
set +e
# A generous time-out: a thousand clients share two cores with the server.
"$build/bin/kelcli" bench --port "$port" --user bench --password secret --timeout 60 \
  --clients "$clients" --requests "$exchanges" --size 64 127.0.0.1
bench_rc=$?
set -e
read -r overflows_after drops_after < <(listen_counters)
sleep 0.1
kill "$sampler" 2>/dev/null || true
wait "$sampler" 2>/dev/null || true
sampler=""
read -r max_threads max_rss <"$work/peaks"
hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$server_pid/status")
peak=$(awk '/^VmPeak:/ {print $2}' "/proc/$server_pid/status")
cpu=$(awk -v hz="$(getconf CLK_TCK)" '{sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / hz}' "/proc/$server_pid/stat")
kelsrv_stop

echo "kelsrv peak threads $max_threads (sampled), resident memory peak ${hwm} KiB (sampled max ${max_rss} KiB), address space peak ${peak} KiB"
echo "kelsrv CPU time ${cpu} s (user and system)"
echo "ListenOverflows $overflows_before -> $overflows_after, ListenDrops $drops_before -> $drops_after"
echo "kelsrv log: $(grep -c . "$work/server.log") line(s); those about refusals or failures:"
grep -E 'refused|failed|lost|warning' "$work/server.log" | head -5 | sed 's/^/  /' || true
exit "$bench_rc"
