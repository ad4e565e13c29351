"""TLS against kelsrv serving it: verify-full connects by address and by name; each refusal is a
KelNotConnectedError with the library's reason, raised before the logon."""

from __future__ import annotations

import socket
from collections.abc import Callable

import pytest
from conftest import PASSWORD, TLS_CERTS, USER, Kelsrv

import kelapi
from kelapi import raw

pytestmark = pytest.mark.skipif(raw.KelSetTls is None, reason="the library was built without TLS")
ECHO = 0x80000100


@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_verify_full_connects_by_address_and_by_name_and_echoes(tls_kelsrv: Kelsrv, host: str) -> None:
    ca_file = str(TLS_CERTS / "ca.pem")
    with kelapi.connect(host, tls_kelsrv.port, user=USER, password=PASSWORD, timeout=10,
                        tls="verify-full", ca_file=ca_file) as connection:
        assert connection.server.description.startswith("kelsrv")
        data = bytes(range(256)) * 40  # more than one TLS record
        assert connection.request(ECHO, data).data == data
    assert "TLS handshake done" in tls_kelsrv.log()


# Whether the server speaks TLS, the mode, the CA file, the server name, and the library's reason.
UNTRUSTED = "the server's certificate (localhost) is not issued by a trusted CA"
REFUSALS: list[tuple[bool, str, str | None, str | None, str]] = [
    (True, "verify-full", "other-ca.pem", None, UNTRUSTED),
    (True, "verify-ca", "other-ca.pem", None, UNTRUSTED),
    (True, "verify-full", "ca.pem", "db.example",
     "the server's certificate names localhost, 127.0.0.1, not db.example"),
    (False, "require", None, None, "the server does not speak TLS"),
]


@pytest.mark.parametrize("tls_server, mode, ca, server_name, reason", REFUSALS,
                         ids=["untrusted-ca-full", "untrusted-ca", "other-name", "plain-server"])
def test_a_refused_handshake_raises_not_connected_with_the_librarys_reason(
    kelsrv_with: Callable[..., Kelsrv], tls_kelsrv: Kelsrv,
    tls_server: bool, mode: str, ca: str | None, server_name: str | None, reason: str,
) -> None:
    port = tls_kelsrv.port if tls_server else kelsrv_with().port
    ca_file = None if ca is None else str(TLS_CERTS / ca)
    with pytest.raises(kelapi.KelNotConnectedError) as caught:
        kelapi.connect("127.0.0.1", port, user=USER, password=PASSWORD, timeout=10,
                       tls=mode, ca_file=ca_file, server_name=server_name).close()
    error = caught.value
    assert (error.code, error.step, error.timeout) == (101, f"connect to 127.0.0.1:{port}", None)
    assert error.reason.startswith(f"TLS with 127.0.0.1:{port}: {reason}"), error.reason
    assert not isinstance(error, TimeoutError)


def test_a_handshake_that_the_time_out_ends_raises_connect_timeout(silent_port: tuple[socket.socket, int]) -> None:
    port = silent_port[1]
    with pytest.raises(kelapi.KelConnectTimeoutError) as caught:
        kelapi.connect("127.0.0.1", port, user=USER, password=PASSWORD, timeout=0.3, tls="require").close()
    error = caught.value
    assert (error.code, error.timeout) == (101, 0.3)
    assert error.reason == f"TLS with 127.0.0.1:{port}: the TLS handshake: timed out after 300 ms"
