"""Every kind of failure from a real cause, and the arguments the package refuses."""

from __future__ import annotations

import socket
from collections.abc import Callable
from typing import Any

import pytest
from conftest import PASSWORD, USER, Kelsrv, closed_port

import kelapi
from kelapi import raw

ECHO, UNKNOWN = 0x80000100, 0x80000777
SILENT, CLOSED = "a peer that never answers", "a port without a server"

# The peer (kelsrv's options, or SILENT or CLOSED), the password, the time-out, the step that fails
# (connect; request: an echo of 100 bytes; check: Reply.check() of an unknown command), the class and code.
# The identify reply is 97 bytes, the logon reply 10: close-after=150 cuts the echo's reply.
FAILURES: list[tuple[Any, ...]] = [
    (CLOSED, PASSWORD, None, "connect", kelapi.KelNotConnectedError, 101),
    ((), "wrong", None, "connect", kelapi.KelHostError, 106),
    (("--misbehave", "wrong-marker"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105),
    (("--misbehave", "identify-retcode"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105),
    (("--misbehave", "identify-length"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105),
    (("--misbehave", "logon-length"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105),
    (("--misbehave", "noskip"), PASSWORD, None, "connect", kelapi.KelProtocolError, 105),
    (("--misbehave", "close-after=50"), PASSWORD, None, "connect", kelapi.KelCommError, 102),
    (("--misbehave", "close-after=150"), PASSWORD, 10.0, "request", kelapi.KelCommError, 102),
    (SILENT, PASSWORD, 0.3, "connect", kelapi.KelCommTimeoutError, 102),
    ((), PASSWORD, None, "check", kelapi.KelHostError, 201),
]


@pytest.mark.parametrize(
    "peer, password, timeout, step, cls, code", FAILURES, ids=[f"{f[0]}-{f[3]}-{f[5]}" for f in FAILURES]
)
def test_each_failure_raises_its_class_with_the_librarys_code_and_text(
    kelsrv_with: Callable[..., Kelsrv],
    silent_port: tuple[socket.socket, int],
    peer: Any,
    password: str,
    timeout: float | None,
    step: str,
    cls: type[kelapi.KelError],
    code: int,
) -> None:
    port = {SILENT: silent_port[1], CLOSED: closed_port()}.get(peer) if isinstance(peer, str) else None
    port = port or kelsrv_with(*peer).port
    with pytest.raises(cls) as caught:
        with kelapi.connect("127.0.0.1", port, user=USER, password=password, timeout=timeout) as connection:
            if step == "request":
                connection.request(ECHO, bytes(100))
            elif step == "check":
                connection.request(UNKNOWN).check()
    error = caught.value
    assert error.code == code and error.text == raw.KelResultText(code).decode()
    assert f"result {code} ({error.name}): {error.text}" in str(error)
    assert isinstance(error, ConnectionError) == (code in (101, 102, 105))
    assert isinstance(error, TimeoutError) == (peer == SILENT)
    assert error.timeout == (timeout if peer == SILENT else None)
    assert isinstance(error.reason, str)


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
    ({"host": "localhost"}, "KelAllocConnectionByName" if raw.KelAllocConnectionByName is None else None),
    ({"host": "::1"}, "KelAllocConnectionByName" if raw.KelAllocConnectionByName is None else None),
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
