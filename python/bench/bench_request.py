"""Connection.request against two clients of the same protocol in pure Python.

All three talk to one kelsrv in the same run, echo requests of each size,
in many short rounds in which the three take turns in changing order:

- "request": kelapi's Connection.request, one call into the library;
- "same reads": socket and struct, one sendall per request, the reply read
  as the library reads it: the 5-byte header, its words, then the data;
- "one recv": the same, but the reply read with a single recv where it
  arrives whole.

Prints the requests per second of each (median, 10th and 90th percentile of
the rounds) and the ratios request / same reads and request / one recv,
round by round. Run it pinned to one CPU (scripts/bench.sh --python does):
client and server then wake each other without crossing CPUs.
Exit status: 0; 1 when a reply was wrong; 2 for bad arguments.
"""

from __future__ import annotations

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import wire

ROOT = Path(__file__).resolve().parent.parent
GOALS = {"same reads": 1.0, "one recv": 0.75}
_REQUEST_HEADER = struct.Struct(">IBI")  # an echo request with data: code, flag byte, data length
_ECHO_REPLY = 0x40000100


def _pure_socket(port: int) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    wire.log_on(sock)
    return sock


class SameReadsClient:
    """One sendall per request; the reply read as header, words, data, other frames skipped."""

    def __init__(self, port: int) -> None:
        self.sock = _pure_socket(port)
        self.reader = wire.Reader(self.sock)

    def request(self, data: bytes) -> bytes:
        self.sock.sendall(_REQUEST_HEADER.pack(wire.ECHO, 0x08, len(data)) + data)
        while True:
            code, flags, words = self.reader.frame()
            body = self.reader.exact(wire.data_length(flags, words))
            if code == _ECHO_REPLY:
                return body


class OneRecvClient:
    """One sendall per request; the reply read with one recv, more only if it came in pieces."""

    def __init__(self, port: int) -> None:
        self.sock = _pure_socket(port)

    def request(self, data: bytes) -> bytes:
        recv = self.sock.recv
        self.sock.sendall(_REQUEST_HEADER.pack(wire.ECHO, 0x08, len(data)) + data)
        reply = recv(65536)
        flags = reply[4]
        words_end = 5 + 4 * bin(flags & 0x0F).count("1")
        end = words_end + (struct.unpack_from(">I", reply, words_end - 4)[0] if flags & 0x08 else 0)
        while len(reply) < end:
            reply += recv(end - len(reply))
        return reply[words_end:end]


def _start_kelsrv(kelsrv: str) -> tuple[subprocess.Popen[str], int]:
    command = [kelsrv, "-p", "0", "-q"]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert server.stdout is not None
    line = server.stdout.readline()
    if not line.startswith("kelsrv listening on "):
        server.kill()
        sys.exit(f"bench: kelsrv did not start: {line!r}")
    return server, int(line.rsplit(":", 1)[1])


def _load() -> str:
    """The system's load averages over 1, 5 and 15 minutes, where it has them."""
    return " ".join(f"{x:.2f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "unknown"


def _spread(values: list[float]) -> tuple[float, float, float]:
    """Median, 10th and 90th percentile."""
    if len(values) < 2:
        return values[0], values[0], values[0]
    deciles = statistics.quantiles(values, n=10, method="inclusive")
    return statistics.median(values), deciles[0], deciles[-1]


def _measure(
    size: int, rounds: int, count: int, clients: dict[str, Callable[[bytes], bytes]]
) -> tuple[dict[str, list[float]], dict[str, list[float]]]:
    """Per client and round: requests per second, and this process's CPU microseconds per request."""
    data = bytes(i & 0xFF for i in range(size))
    rates: dict[str, list[float]] = {name: [] for name in clients}
    cpu: dict[str, list[float]] = {name: [] for name in clients}
    names = list(clients)
    for turn in range(rounds + 1):  # the first round warms up and is not counted
        order = names[turn % len(names) :] + names[: turn % len(names)]
        for name in order:
            request = clients[name]
            if request(data) != data:
                sys.exit(f"bench: {name}: a wrong reply to an echo of {size} bytes")
            start, start_cpu = time.perf_counter(), time.process_time()
            for _ in range(count):
                request(data)
            if turn:
                rates[name].append(count / (time.perf_counter() - start))
                cpu[name].append((time.process_time() - start_cpu) / count * 1e6)
    return rates, cpu


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    add = parser.add_argument
    add("--kelsrv", default=str(ROOT.parent / "build/native/bin/kelsrv"), help="the kelsrv to run")
    add("--library", help="the kelapi library (default: KELAPI_LIBRARY, then the package's search)")
    add("--rounds", type=int, default=100, help="rounds per size (default 100)")
    add("--requests", type=int, default=100, help="requests per client and round (default 100)")
    add("--sizes", default="16,8192", help="data bytes of the echoes (default 16,8192)")
    add("--quick", action="store_true", help="two short rounds: it works, replies are right; no figures")
    options = parser.parse_args()
    if options.quick:
        options.rounds, options.requests = 2, 20
    if options.library:
        os.environ["KELAPI_LIBRARY"] = options.library
    sys.path.insert(0, str(ROOT / "src"))
    import kelapi

    server, port = _start_kelsrv(options.kelsrv)
    try:
        connection = kelapi.connect("127.0.0.1", port, user="bench", password="bench")
        library_request = connection.request

        def request(data: bytes) -> bytes:
            return library_request(wire.ECHO, data).data

        clients: dict[str, Callable[[bytes], bytes]] = {
            "request": request,
            "same reads": SameReadsClient(port).request,
            "one recv": OneRecvClient(port).request,
        }
        print(f"python {sys.executable} {sys.version.split()[0]}; library {kelapi.library_path}")
        print(f"kelsrv {options.kelsrv}")
        cpus = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else "all"
        print(f"CPUs {cpus}; load {_load()}")
        for size in (int(s) for s in options.sizes.split(",")):
            rates, cpu = _measure(size, options.rounds, options.requests, clients)
            rounds = f"{options.rounds} rounds of {options.requests} requests per client"
            print(f"\necho of {size} bytes: {rounds}")
            print(f"  {'':34} {'median':>9} {'p10':>9} {'p90':>9}")
            for name, values in rates.items():
                print(f"  {name + ', requests/s':34}" + "".join(f" {v:9.0f}" for v in _spread(values)))
            for name, values in cpu.items():
                spread = "".join(f" {v:9.1f}" for v in _spread(values))
                print(f"  {name + ', client CPU us/request':34}{spread}")
            for other, goal in GOALS.items():
                ratios = [a / b for a, b in zip(rates["request"], rates[other])]
                median, low, high = _spread(ratios)
                verdict = f"   goal >= {goal:.2f}: {'met' if median >= goal else 'missed'}"
                line = f"  {'ratio request / ' + other:34} {median:9.2f} {low:9.2f} {high:9.2f}"
                print(line + ("" if options.quick else verdict))
        connection.close()
        print(f"\nload at the end {_load()}")
    finally:
        server.terminate()
        server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
