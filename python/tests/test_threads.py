"""Threads: calls release the interpreter lock, and the trace reaches logging from every thread."""

from __future__ import annotations

import logging
import re
import socket
import threading

import pytest
from conftest import PASSWORD, USER, Kelsrv, closed_port

import kelapi

ECHO = 0x80000100
TRACE_LINE = re.compile(r"\d\d:\d\d:\d\d  \d\d\.\d\d\.\d{4} - Kel(Conct|Systm|Utils) at \d+:  .*\S$")


def run_threads(target: object, count: int = 8) -> list[threading.Thread]:
    """Starts count threads on target(number) at the same moment and joins them; re-raises their failures."""
    start, failures = threading.Barrier(count), []

    def body(number: int) -> None:
        try:
            start.wait()
            target(number)  # type: ignore[operator]
        except BaseException as failure:  # reported by the test's thread
            failures.append(failure)

    threads = [threading.Thread(target=body, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]
    return threads


def test_eight_threads_run_their_connections_while_a_ninth_waits_inside_the_library(
    kelsrv: Kelsrv, silent_port: tuple[socket.socket, int]
) -> None:
    listener, port = silent_port
    outcome: list[BaseException] = []

    def wait_for_an_answer() -> None:
        try:  # the time-out only ends a broken build's hang
            kelapi.connect("127.0.0.1", port, user=USER, password=PASSWORD, timeout=120)
        except BaseException as error:
            outcome.append(error)

    waiter = threading.Thread(target=wait_for_an_answer)
    waiter.start()
    peer, _ = listener.accept()
    assert len(peer.recv(97, socket.MSG_WAITALL)) == 97  # its identify request: it now waits for the reply

    def exchange(number: int) -> None:
        with kelapi.connect("127.0.0.1", kelsrv.port, user=USER, password=PASSWORD) as connection:
            for size in (0, 100, 5000, 70000):
                data = bytes([number]) * size
                reply = connection.request(ECHO, data, parm1=number)
                assert (reply.parm1, reply.data) == (number, data)

    run_threads(exchange)
    assert waiter.is_alive()
    peer.close()
    waiter.join()
    assert isinstance(outcome[0], kelapi.KelCommError) and not isinstance(outcome[0], TimeoutError)


def test_trace_reaches_logging_from_eight_threads_at_once_on_the_calling_thread(
    kelsrv: Kelsrv, caplog: pytest.LogCaptureFixture
) -> None:
    records: list[logging.LogRecord] = []

    class Collect(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            records.append(record)

    collect = Collect()
    logger = logging.getLogger("kelapi.test")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(collect)
    logger.propagate = False
    refused = [closed_port() for _ in range(8)]

    def session(number: int) -> None:
        for _ in range(5):
            with kelapi.connect("127.0.0.1", kelsrv.port, user=USER, password=PASSWORD) as connection:
                connection.request(ECHO, b"x")
            with pytest.raises(kelapi.KelNotConnectedError) as caught:
                kelapi.connect("127.0.0.1", refused[number], user=USER, password=PASSWORD)
            # The reason is this thread's own, though the others fail at the same time.
            assert caught.value.reason.startswith(f"connect to 127.0.0.1:{refused[number]}: ")

    kelapi.trace_to_logging(logger)
    try:
        threads = run_threads(session)
    finally:
        kelapi.trace_off()
    by_thread: dict[int | None, list[str]] = {}
    for record in records:
        by_thread.setdefault(record.thread, []).append(record.getMessage())
        assert record.levelno == logging.DEBUG and TRACE_LINE.match(record.getMessage()), record.getMessage()
        assert PASSWORD not in record.getMessage()
    assert set(by_thread) == {thread.ident for thread in threads}
    for lines in by_thread.values():
        assert sum("KelConnect hConnection = " in line for line in lines) == 10
        assert sum("KelDisconnect hSocket = " in line for line in lines) == 5
        assert sum("Error: 101" in line for line in lines) >= 5

    count = len(records)
    with kelapi.connect("127.0.0.1", kelsrv.port, user=USER, password=PASSWORD):
        pass
    assert len(records) == count  # off again
    with caplog.at_level(logging.DEBUG, logger="kelapi"):
        kelapi.trace_to_logging()
        try:
            kelapi.connect("127.0.0.1", refused[0], user=USER, password=PASSWORD).close()
        except kelapi.KelError:
            pass
        finally:
            kelapi.trace_off()
    assert any(r.name == "kelapi" and "KelConnect hConnection" in r.getMessage() for r in caplog.records)
