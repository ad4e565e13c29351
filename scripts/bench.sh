#!/usr/bin/env bash
# The benchmark: builds kelbench in Release (build/bench) and runs it with the
# whole process, client and in-process server, pinned to one CPU, where a
# wake-up costs a tenth of one across CPUs. About a minute; the arguments go
# to kelbench (--rounds N, --ms M: see kelbench --help).
#   scripts/bench.sh [kelbench options]      KEL_BENCH_CPU=N picks the CPU (default: the last one)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "=== building kelbench (Release, build/bench)"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
  -DKEL_BUILD_TESTS=OFF -DKEL_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target kelbench -j2 >/dev/null

cpu=${KEL_BENCH_CPU:-$(($(nproc) - 1))}
echo "=== kelbench on CPU $cpu"
if command -v taskset >/dev/null && taskset -c "$cpu" true 2>/dev/null; then
  exec taskset -c "$cpu" build/bench/bin/kelbench "$@"
fi
echo "(taskset cannot pin to CPU $cpu here: running unpinned, the figures will scatter more)"
exec build/bench/bin/kelbench "$@"
