#!/usr/bin/env bash
# The benchmarks: builds kelbench, kelsrv and the library in Release
# (build/bench) and runs, with the whole process, client and server, pinned
# to one CPU, where a wake-up costs a tenth of one across CPUs:
# - kelbench, the library against a raw-socket client, then over TLS against
#   OpenSSL used directly (about a minute and a half; the arguments go to
#   kelbench: --rounds N, --ms M, see kelbench --help);
# - the Python package's Connection.request against clients of the same
#   protocol in pure Python, against one kelsrv (python/bench/bench_request.py).
#   scripts/bench.sh [kelbench options]          both
#   scripts/bench.sh --python [options]          the Python one only (options: bench_request.py --help)
# KEL_BENCH_CPU=N picks the CPU (default: the last one); KEL_PYTHON the
# interpreter (default /usr/bin/python3).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
python_only=0
if [ "${1:-}" = "--python" ]; then
  python_only=1
  shift
fi

echo "=== building kelbench, kelsrv and the library (Release, build/bench)"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
  -DKEL_BUILD_TESTS=OFF -DKEL_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target kelbench kelsrv kelapi -j2 >/dev/null

cpu=${KEL_BENCH_CPU:-$(($(nproc) - 1))}
pinned=(taskset -c "$cpu")
if ! command -v taskset >/dev/null || ! taskset -c "$cpu" true 2>/dev/null; then
  echo "(taskset cannot pin to CPU $cpu here: running unpinned, the figures will scatter more)"
  pinned=()
fi
if ((!python_only)); then
  echo "=== kelbench on CPU $cpu"
  "${pinned[@]}" build/bench/bin/kelbench "$@"
  set --
fi
echo "=== the Python package on CPU $cpu: Connection.request against pure-Python clients"
KELAPI_LIBRARY=build/bench/lib/libkelapi.so.1 "${pinned[@]}" "${KEL_PYTHON:-/usr/bin/python3}" \
  python/bench/bench_request.py --kelsrv build/bench/bin/kelsrv "$@"
