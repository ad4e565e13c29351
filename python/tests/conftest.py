"""Fixtures: kelsrv servers on port 0, a peer that never answers, the paths of the build.

The library is the one in KELAPI_LIBRARY (ctest sets it to the build's), else
build/native's; kelsrv the one in KELSRV, else build/native's; the TLS test
certificates (tests/tls/make_certs.sh) those in KEL_TLS_CERT_DIR, else build/native's.
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "python" / "src"), str(ROOT / "python" / "bench")]
os.environ.setdefault("KELAPI_LIBRARY", str(ROOT / "build/native/lib/libkelapi.so.1"))
KELSRV = os.environ.get("KELSRV", str(ROOT / "build/native/bin/kelsrv"))
TLS_CERTS = Path(os.environ.get("KEL_TLS_CERT_DIR", str(ROOT / "build/native/tls-certs")))
USER, PASSWORD = "demo", "secret"
# kelsrv's options to serve TLS with the certificate for localhost and 127.0.0.1 from the tests' CA.
TLS_SERVER = ("--tls-cert", str(TLS_CERTS / "server.pem"), "--tls-key", str(TLS_CERTS / "server.key"))


class Kelsrv:
    """One kelsrv process with the user demo:secret and the given options; its log in a file."""

    def __init__(self, log_path: Path, *options: str) -> None:
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.process = subprocess.Popen(
                [KELSRV, "-p", "0", "-u", f"{USER}:{PASSWORD}", *options],
                stdout=subprocess.PIPE,
                stderr=log,
                text=True,
            )
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        assert line.startswith("kelsrv listening on "), line
        self.port = int(line.rsplit(":", 1)[1])

    def log(self) -> str:
        return self.log_path.read_text()

    def wait_for_log(self, text: str) -> str:
        """The log once it holds text; the server writes some lines after its reply has left."""
        deadline = time.monotonic() + 30  # a bound for a hung server, not a measure of speed
        while text not in (log := self.log()) and time.monotonic() < deadline:
            time.sleep(0.01)
        return log

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait()


@pytest.fixture(scope="session")
def kelsrv_with(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Callable[..., Kelsrv]]:
    """kelsrv_with(*options): a running server with those options, one per set of options."""
    servers: dict[tuple[str, ...], Kelsrv] = {}

    def server(*options: str) -> Kelsrv:
        if options not in servers:
            servers[options] = Kelsrv(tmp_path_factory.mktemp("kelsrv") / "log", *options)
        return servers[options]

    yield server
    for each in servers.values():
        each.stop()


@pytest.fixture(scope="session")
def kelsrv(kelsrv_with: Callable[..., Kelsrv]) -> Kelsrv:
    """A sound server."""
    return kelsrv_with()


@pytest.fixture(scope="session")
def tls_kelsrv(kelsrv_with: Callable[..., Kelsrv]) -> Kelsrv:
    """A server that speaks TLS only, with the certificate for localhost and 127.0.0.1 from the tests' CA."""
    return kelsrv_with(*TLS_SERVER)


@pytest.fixture
def silent_port() -> Iterator[tuple[socket.socket, int]]:
    """A listening socket that never accepts: the system completes the TCP connect, nobody answers.

    Closing it resets the connections waiting in its queue.
    """
    listener = socket.create_server(("127.0.0.1", 0), backlog=16)
    yield listener, listener.getsockname()[1]
    listener.close()


@pytest.fixture
def full_port() -> Iterator[tuple[socket.socket, int]]:
    """A listener whose queue is full and that never accepts: a TCP connect to it does not complete."""
    listener = socket.create_server(("127.0.0.1", 0), backlog=0)
    port = listener.getsockname()[1]
    queued: list[socket.socket] = []
    for _ in range(16):  # the queue takes one or two, depending on the system
        queued.append(socket.socket())
        queued[-1].settimeout(0.2)  # a loopback connect that can complete does so at once
        try:
            queued[-1].connect(("127.0.0.1", port))
        except TimeoutError:
            break
    else:
        pytest.fail("the listen queue took 16 connects")
    yield listener, port
    for each in queued:
        each.close()
    listener.close()


def closed_port() -> int:
    """A port on which nothing listens."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
    return port
