"""kelapi: Python for the kelapi library, a client of a Hox/Pym host's connector server.

    import kelapi

    with kelapi.connect("127.0.0.1", user="demo", password="secret", timeout=10) as connection:
        print(connection.server.description)
        reply = connection.request(0x80000100, b"hello").check()

connect() logs on and returns a Connection; Connection.request() makes one
exchange in one call into the library; failures are KelError and its
subclasses (kelapi.errors); kelapi.raw declares every export of the library
for programs ported from C. The library is found through KELAPI_LIBRARY,
beside the package, or by the system (kelapi._library).
"""

from ._connection import DEFAULT_PORT, TLS_MODES, Command, Connection, Reply, ServerInfo, connect
from ._trace import trace_off, trace_to_logging
from .errors import (
    KelCommError,
    KelCommTimeoutError,
    KelConnectionError,
    KelConnectTimeoutError,
    KelError,
    KelHandleError,
    KelHostError,
    KelLockedError,
    KelNotConnectedError,
    KelParamError,
    KelProtocolError,
    KelStateError,
    KelSystemError,
    KelTimeoutError,
)
from .raw import library_path

__version__ = "1.1.0"

__all__ = [
    "DEFAULT_PORT",
    "TLS_MODES",
    "Command",
    "Connection",
    "KelCommError",
    "KelCommTimeoutError",
    "KelConnectTimeoutError",
    "KelConnectionError",
    "KelError",
    "KelHandleError",
    "KelHostError",
    "KelLockedError",
    "KelNotConnectedError",
    "KelParamError",
    "KelProtocolError",
    "KelStateError",
    "KelSystemError",
    "KelTimeoutError",
    "Reply",
    "ServerInfo",
    "connect",
    "library_path",
    "trace_off",
    "trace_to_logging",
]
