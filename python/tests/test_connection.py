"""Connections against kelsrv: identity, requests of every size and kind, the lower steps, the
busy flag, and what leaving a with block frees."""

from __future__ import annotations

import os
import re
from collections.abc import Callable

import pytest
from conftest import PASSWORD, USER, Kelsrv

import kelapi

ECHO, CHATTY, UNKNOWN = 0x80000100, 0x80000101, 0x80000777


def open_to(server: Kelsrv, timeout: float | None = None) -> kelapi.Connection:
    return kelapi.connect("127.0.0.1", server.port, user=USER, password=PASSWORD, timeout=timeout)


def test_connect_reports_the_servers_identity(kelsrv_with: Callable[..., Kelsrv]) -> None:
    server = kelsrv_with("--server-id", "0xABCDEF", "--server-version", "0x00020003", "--logon-data", "0x5A",
                         "--description", os.fsdecode(b"test host \xe9"))  # the byte 0xE9 on the command line
    with open_to(server, timeout=10) as connection:
        assert connection.server == kelapi.ServerInfo(0xABCDEF, 0x00020003, "test host \xe9", 0x5A)


# The host as given, kelsrv's options, and the server's name in the connection's address.
HOSTS = [("::1", ("-a", "::1"), "[::1]"), ("[::1]", ("-a", "::1"), "[::1]"), ("localhost", (), "localhost")]


@pytest.mark.parametrize("host, options, name", HOSTS, ids=[host for host, _, _ in HOSTS])
def test_connect_takes_an_ipv6_address_or_a_host_name(
    kelsrv_with: Callable[..., Kelsrv], host: str, options: tuple[str, ...], name: str
) -> None:
    server = kelsrv_with(*options)
    with kelapi.connect(host, server.port, user=USER, password=PASSWORD, timeout=10) as connection:
        assert connection.address == f"{name}:{server.port}"
        assert connection.request(ECHO, b"by name").data == b"by name"


# (command, data size, parm1, parm3, flags) and the reply expected: (code, parm1, retcode, parm3, flag bits
# 0x10-0x80, data size). Echo data sizes around the send buffer (1024), the exchange's reply buffer (65536)
# and kelsrv's largest echo; chatty sends 3 rounds of frames to dispose of before its reply.
REQUESTS = [
    ((ECHO, 0, 0, 0, 0), (0x40000100, 0, 0, 0, 0, 0)),
    ((ECHO, 1, 7, 9, 0x20), (0x40000100, 7, 0, 9, 0x20, 1)),
    ((ECHO, 16, 0xFFFFFFFF, 0, 0xE0), (0x40000100, 0xFFFFFFFF, 0, 0, 0xE0, 16)),
    ((ECHO, 1015, 1, 2, 0), (0x40000100, 1, 0, 2, 0, 1015)),
    ((ECHO, 1024, 0, 0, 0), (0x40000100, 0, 0, 0, 0, 1024)),
    ((ECHO, 8192, 3, 0, 0x40), (0x40000100, 3, 0, 0, 0x40, 8192)),
    ((ECHO, 65536, 0, 0, 0), (0x40000100, 0, 0, 0, 0, 65536)),
    ((ECHO, 65537, 0, 0, 0), (0x40000100, 0, 0, 0, 0, 65537)),
    ((ECHO, 1 << 20, 0, 0, 0), (0x40000100, 0, 0, 0, 0, 1 << 20)),
    ((CHATTY, 0, 600, 3, 0), (0x40000101, 3, 0, 0, 0, 0)),
    ((UNKNOWN, 5, 0, 0, 0), (0x40000777, 0, 0x00030004, 0, 0, 0)),
]


@pytest.mark.parametrize("request_, expected", REQUESTS, ids=[f"{r[0]:#x}-{r[1]}" for r, _ in REQUESTS])
def test_request_returns_the_awaited_reply_with_all_its_data_and_keeps_the_stream_in_step(
    kelsrv: Kelsrv, request_: tuple[int, ...], expected: tuple[int, ...]
) -> None:
    command, size, parm1, parm3, flags = request_
    data = bytes(range(256)) * (size // 256) + bytes(range(size % 256))
    with open_to(kelsrv) as connection:
        reply = connection.request(command, bytearray(data), parm1=parm1, parm3=parm3, flags=flags)
        assert (reply.code, reply.parm1, reply.retcode, reply.parm3, reply.flags & 0xF0) == expected[:5]
        assert reply.data == data[: expected[5]]
        assert connection.request(ECHO, b"next", reply=0x40000100).data == b"next"


def test_lower_steps_interleave_two_requests_before_their_replies(kelsrv: Kelsrv) -> None:
    with open_to(kelsrv) as connection:
        connection.send_command(kelapi.Command(CHATTY, parm1=300, parm3=2))
        connection.send(b"", flush=False)  # a chatty request has no data
        connection.send_command(kelapi.Command(ECHO, parm1=1, data_len=3))
        connection.send(memoryview(b"abc"))
        chatty = connection.wait_for(0x40000101)  # the rounds' frames disposed of
        echo = connection.wait_for(0x40000100)
        assert (chatty.parm1, chatty.data_len, echo.parm1, echo.data_len) == (2, 0, 1, 3)
        assert connection.receive(3) == b"abc"
        assert connection.request(ECHO, b"in step").data == b"in step"


def test_locked_holds_the_busy_flag_for_its_block(kelsrv: Kelsrv) -> None:
    with open_to(kelsrv) as connection:
        with connection.locked():
            with pytest.raises(kelapi.KelLockedError):
                with connection.locked():
                    pass
        with connection.locked():  # free again
            assert connection.request(ECHO, b"x").data == b"x"


def test_leaving_the_block_by_an_exception_disconnects_and_frees(kelsrv: Kelsrv) -> None:
    with pytest.raises(RuntimeError):
        with open_to(kelsrv) as connection:
            number = re.findall(r"connection (\d+): opened", kelsrv.log())[-1]
            connection.request(ECHO, b"before")
            raise RuntimeError("the caller's own failure")
    assert connection.closed
    assert f"connection {number}: disconnected" in kelsrv.wait_for_log(f"connection {number}: disconnected")
    with pytest.raises(kelapi.KelNotConnectedError, match="closed"):
        connection.request(ECHO)
    connection.close()  # once more: nothing happens
