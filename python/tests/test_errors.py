"""Every kind of failure from a real cause with the library's reason, and the arguments the package refuses."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
from collections.abc import Callable
from typing import Any

import pytest
from conftest import PASSWORD, ROOT, USER, Kelsrv, closed_port

import kelapi
from kelapi import raw

ECHO, UNKNOWN = 0x80000100, 0x80000777
# Peers other than kelsrv: the fixtures of a listener that never answers and of one whose queue is full,
# and a port without a server.
SILENT, FULL, CLOSED = "silent_port", "full_port", "closed port"

# The peer (kelsrv's options, or SILENT, FULL or CLOSED), the password, the time-out, the step that fails
# (connect; request: an echo of 100 bytes; check: Reply.check() of an unknown command), the class, the
# code and the reason (PORT: the peer's port). The identify reply is 97 bytes, the logon reply 10:
# close-after=150 cuts the echo's reply.
FAILURES: list[tuple[Any, ...]] = [
    (CLOSED, PASSWORD, None, "connect", kelapi.KelNotConnectedError, 101,
     "connect to 127.0.0.1:PORT: Connection refused"),
    ((), "wrong", None, "connect", kelapi.KelHostError, 106,
     "log on to 127.0.0.1:PORT: refused by the host with return code 0x00010002"),
    (("--misbehave", "wrong-marker"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105,
     "identify with 127.0.0.1:PORT: the server's identifier 0x43000001 lacks the marker 0x53"),
    (("--misbehave", "identify-retcode"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105,
     "identify with 127.0.0.1:PORT: the reply carries host return code"),
    (("--misbehave", "identify-length"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105,
     "identify with 127.0.0.1:PORT: the reply announces 80 data bytes, not 88"),
    (("--misbehave", "logon-length"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105,
     "log on to 127.0.0.1:PORT: the reply announces 2 data bytes, not 1"),
    (("--misbehave", "noskip"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105,
     "identify with 127.0.0.1:PORT: receive: frame 0x20000002 came unawaited and may not be skipped"),
    (("--misbehave", "close-after=50"), PASSWORD, None, "connect", kelapi.KelCommError, 102,
     "identify with 127.0.0.1:PORT: receive: the server closed the connection"),
    (("--misbehave", "close-after=150"), PASSWORD, 10.0, "request", kelapi.KelCommError, 102,
     "receive: the server closed the connection"),
    (SILENT, PASSWORD, 0.3, "connect", kelapi.KelCommTimeoutError, 102,
     "identify with 127.0.0.1:PORT: receive: timed out after 300 ms"),
    (FULL, PASSWORD, 0.3, "connect", kelapi.KelConnectTimeoutError, 101,
     "connect to 127.0.0.1:PORT: timed out after 300 ms"),
    ((), PASSWORD, None, "check", kelapi.KelHostError, 201, "refused by the host with return code 0x00030004"),
]


@pytest.mark.parametrize(
    "peer, password, timeout, step, cls, code, reason", FAILURES, ids=[f"{f[0]}-{f[3]}-{f[5]}" for f in FAILURES]
)
def test_each_failure_raises_its_class_with_the_librarys_code_and_text(
    request: pytest.FixtureRequest,
    kelsrv_with: Callable[..., Kelsrv],
    peer: Any,
    password: str,
    timeout: float | None,
    step: str,
    cls: type[kelapi.KelError],
    code: int,
    reason: str,
) -> None:
    if isinstance(peer, tuple):
        port = kelsrv_with(*peer).port
    else:
        port = closed_port() if peer == CLOSED else request.getfixturevalue(peer)[1]
    with pytest.raises(cls) as caught:
        with kelapi.connect("127.0.0.1", port, user=USER, password=password, timeout=timeout) as connection:
            if step == "request":
                connection.request(ECHO, bytes(100))
            elif step == "check":
                connection.request(UNKNOWN).check()
    error = caught.value
    assert error.code == code and error.text == raw.KelResultText(code).decode()
    assert error.reason.startswith(reason.replace("PORT", str(port))), error.reason
    assert str(error).endswith(f": result {code} ({error.name}): {error.text} Reason: {error.reason}")
    assert isinstance(error, ConnectionError) == (code in (101, 102, 105))
    assert isinstance(error, TimeoutError) == (peer in (SILENT, FULL))
    assert error.timeout == (timeout if peer in (SILENT, FULL) else None)


def test_a_time_out_is_told_by_the_librarys_reason_also_under_its_default_bound(
    silent_port: tuple[socket.socket, int],
) -> None:
    # KELAPI_TIMEOUT_MS bounds every connection of the process that sets no time-out of its own.
    probe = (
        "import kelapi\n"
        "try:\n"
        f"    kelapi.connect('127.0.0.1', {silent_port[1]}, user='{USER}', password='{PASSWORD}')\n"
        "except kelapi.KelError as error:\n"
        "    print(type(error).__name__, error.timeout)\n"
    )
    environ = os.environ | {"KELAPI_TIMEOUT_MS": "200", "PYTHONPATH": str(ROOT / "python/src")}
    done = subprocess.run([sys.executable, "-c", probe], env=environ, capture_output=True, text=True)
    assert done.stdout.split() == ["KelCommTimeoutError", "0.2"], done.stderr


def test_after_the_stream_is_lost_the_connection_refuses_exchanges(
    kelsrv_with: Callable[..., Kelsrv],
) -> None:
    server = kelsrv_with("--misbehave", "close-after=150")
    with kelapi.connect("127.0.0.1", server.port, user=USER, password=PASSWORD) as connection:
        with pytest.raises(kelapi.KelCommError):
            connection.request(ECHO, bytes(100))
        steps: list[Callable[[], object]] = [
            lambda: connection.request(ECHO),
            lambda: connection.wait_for(0x40000100),
        ]
        for step in steps:
            with pytest.raises(kelapi.KelCommError, match="lost its stream"):
                step()


# Arguments the package refuses before it calls the library, and what the message names.
REFUSED: list[tuple[dict[str, Any], str | None]] = [
    ({"host": "127.0.0.1\0.example"}, "host: a NUL"),
    ({"tls": "require"}, "KelSetTls" if raw.KelSetTls is None else None),
    ({"ca_file": "ca.pem"}, "tls="),
    ({"tls": "strict"}, "tls='strict'"),
    ({"port": 65536}, "port 65536"),
    ({"timeout": 0}, "timeout 0"),
    ({"password": "\u20ac"}, "password: only characters of 8 bits"),
    ({"user": "a\0b"}, "user: a NUL"),
]


@pytest.mark.parametrize("change, message", REFUSED, ids=[str(change) for change, _ in REFUSED])
def test_arguments_the_library_cannot_take_are_refused_with_a_message(
    kelsrv: Kelsrv, change: dict[str, Any], message: str | None
) -> None:
    if message is None:
        pytest.skip("the library takes these now")
    arguments: dict[str, Any] = {"host": "127.0.0.1", "port": kelsrv.port, "user": USER, "password": PASSWORD}
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        kelapi.connect(**(arguments | change))
