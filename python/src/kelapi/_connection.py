"""Connections: connect, the server's identity, requests and their lower steps."""

from __future__ import annotations

import ctypes
import math
import struct
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from ctypes import byref, c_uint32, c_void_p
from dataclasses import dataclass
from typing import NoReturn

from . import raw
from .errors import KelCommError, KelNotConnectedError, error_for, is_host_code

DEFAULT_PORT = raw.KEL_DEFAULT_PORT
TLS_MODES = {
    "off": raw.KEL_TLS_OFF,
    "require": raw.KEL_TLS_REQUIRE,
    "verify-ca": raw.KEL_TLS_VERIFY_CA,
    "verify-full": raw.KEL_TLS_VERIFY_FULL,
}

# KelCommand's 24 bytes in memory; packing checks that every value fits its field.
_RECORD = struct.Struct("=5IB3x")
_REQUEST_BIT = 0x80000000
# Reply data up to this size comes with the exchange itself; longer data takes one call more.
_REPLY_BUFFER_SIZE = 65536
# Once the stream is lost, a disconnect waits no longer than this for the server's answer.
_GOODBYE_MS = 200
_MAX_TIMEOUT_MS = 2147483647
_LOSES_STREAM = (raw.KEL_ERR_COMM, raw.KEL_ERR_PROTOCOL)

# KelExchange called without ctypes' argument conversion, which for eight
# arguments costs more than the call itself: request() passes only values
# that are already what the function takes (handle, buffers, a pointer, and
# integers below 2**31).
_exchange = raw.library._FuncPtr(("KelExchange", raw.library))
_exchange.restype = ctypes.c_int32


@dataclass(slots=True)
class Command:
    """A command frame: the code, the optional words (0: not on the wire), the data length and flag byte."""

    code: int
    parm1: int = 0
    retcode: int = 0
    parm3: int = 0
    data_len: int = 0
    flags: int = 0


@dataclass(slots=True)
class Reply:
    """The awaited reply of a request and all its data; retcode: the host's return code, 0: accepted."""

    code: int
    parm1: int
    retcode: int
    parm3: int
    flags: int
    data: bytes

    def check(self) -> Reply:
        """This reply if the host accepted the request; else KelHostError (KelSystemError: unknown code)."""
        if self.retcode:
            reason = f"refused by the host with return code 0x{self.retcode:08X}"
            raise error_for(raw.KelCmdErrToKelErr(self.retcode), f"reply 0x{self.code:08X}", reason)
        return self


@dataclass(frozen=True, slots=True)
class ServerInfo:
    """The identity a server reported at the connect (KelGetSystemInfo).

    id: the identifier without its marker byte; logon_data: the data byte of the logon reply.
    """

    id: int
    version: int
    description: str
    logon_data: int


class Connection:
    """A connection that is logged on to a server; made by connect().

    A context manager: leaving the block closes it, also when an exception
    leaves it. One connection serves one thread at a time: the library takes
    no locks, so threads that share a connection hold a threading.Lock of
    their own around each exchange (locked() is the library's busy flag, not
    a lock). Calls release the interpreter lock, so connections of different
    threads run at the same time.

    After a failure that loses the stream's place within a frame
    (KelCommError, KelProtocolError, a time-out included) every later
    exchange is refused; close the connection and connect again.
    """

    server: ServerInfo

    def __init__(self, handle: c_void_p, address: str, timeout: float | None) -> None:
        """Takes over an allocated connection; connect() makes them. address: "HOST:PORT", [IPv6]:PORT."""
        self._handle: c_void_p | None = handle
        self.address = address
        self.timeout = timeout
        self._ready = False  # open and in step: exchanges may go
        self._lost = False  # the stream's place within a frame is lost
        self._request = ctypes.create_string_buffer(_RECORD.size)
        self._reply = ctypes.create_string_buffer(_RECORD.size)
        self._data = ctypes.create_string_buffer(_REPLY_BUFFER_SIZE)
        self._data_view = memoryview(self._data).cast("B")
        self._received = c_uint32()
        self._p_received = ctypes.pointer(self._received)

    def __repr__(self) -> str:
        state = "open" if self._ready else ("closed" if self._handle is None else "stream lost")
        return f"<kelapi.Connection {self.address} {state}>"

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self)
            self._lost = True  # a finaliser does not wait long for the server
            self.close()

    @property
    def handle(self) -> c_void_p:
        """The library's connection handle, for the functions of kelapi.raw; it stays this object's."""
        return self._live("use the handle")

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Disconnects and frees the connection; closing again does nothing."""
        handle, self._handle, self._ready = self._handle, None, False
        if handle is None:
            return
        if self._lost and (self.timeout is None or self.timeout * 1000 > _GOODBYE_MS):
            raw.KelSetTimeout(handle, _GOODBYE_MS)
        raw.KelDisconnect(handle)  # also a half-open socket; without one it only says so
        raw.KelFreeConnection(handle)

    # ---- Requests

    def request(
        self,
        command: int,
        data: bytes = b"",
        *,
        parm1: int = 0,
        parm3: int = 0,
        flags: int = 0,
        reply: int | None = None,
    ) -> Reply:
        """Sends a command with its data (one flush) and returns the awaited reply with all its data.

        reply: the code awaited; by default the command's with bit 31
        cleared and bit 30 set. Frames with other codes are disposed of as
        the library does. The host's return code is in Reply.retcode
        (Reply.check() raises for it). One call into the library (KelExchange).
        """
        if not self._ready:
            self._refuse(f"request 0x{command:08X}")
        if type(data) is not bytes:
            data = bytes(data)
        try:
            _RECORD.pack_into(self._request, 0, command, parm1, 0, parm3, len(data), flags)
        except struct.error:
            raise ValueError(_word_problem(command=command, parm1=parm1, parm3=parm3, flags=flags)) from None
        if reply is None:
            expected: int | c_uint32 = (command & 0x3FFFFFFF) | 0x40000000  # bit 31 cleared, bit 30 set
        elif 0 <= reply < _REQUEST_BIT:
            expected = reply
        else:
            expected = c_uint32(_word("reply", reply))
        rc = _exchange(self._handle, self._request, data, expected, self._reply, self._data,
                       _REPLY_BUFFER_SIZE, self._p_received)
        if rc:
            self._fail(rc, f"request 0x{command:08X}")
        code, parm1, retcode, parm3, data_len, flags = _RECORD.unpack_from(self._reply)
        if not data_len:
            payload = b""
        elif data_len <= _REPLY_BUFFER_SIZE:
            payload = bytes(self._data_view[:data_len])
        else:  # left in the stream by the exchange
            payload = self._receive(data_len, f"receive the {data_len} data bytes of reply 0x{code:08X}")
        return Reply(code, parm1, retcode, parm3, flags, payload)

    def send_command(self, command: Command, *, flush: bool = False) -> None:
        """Queues a frame (KelSendCommand); without flush it waits for the data that follows."""
        step = f"send command 0x{command.code:08X}"
        record = _record(command)
        self._check(raw.KelSendCommand(self._live(step), byref(record), int(flush)), step)

    def send(self, data: bytes, *, flush: bool = True) -> None:
        """Sends data through the connection's send buffer (KelSend); b"" with flush sends what waits."""
        step = f"send {len(data)} bytes"
        handle, sent = self._live(step), c_uint32()
        self._check(raw.KelSend(handle, bytes(data), len(data), byref(sent), int(flush)), step)

    def wait_for(self, code: int) -> Command:
        """Reads frames until one with this code arrives, disposing of the others (KelWaitForResponse).

        Its data_len bytes are still in the stream: read them with receive() before the next frame.
        """
        handle = self._live(f"wait for 0x{code:08X}")
        record = raw.KelCommand()
        rc = raw.KelWaitForResponse(handle, _word("code", code), byref(record))
        if rc:
            self._fail(rc, f"wait for 0x{code:08X}")
        r = record
        return Command(r.dwCommand, r.dwParm1, r.dwRetCode, r.dwParm3, r.dwDataLen, r.bFlags)

    def receive(self, size: int) -> bytes:
        """Reads exactly size bytes (KelReceive)."""
        self._live(f"receive {size} bytes")
        return self._receive(size, f"receive {size} bytes")

    @contextmanager
    def locked(self) -> Iterator[Connection]:
        """Holds the connection's busy flag (KelLock) for the block; KelLockedError if it is already set.

        The flag tells cooperating parts of one program that an exchange is in
        progress; it never waits and is no lock between threads.
        """
        handle = self._live("lock the connection")
        self._check(raw.KelLock(handle), "lock the connection")
        try:
            yield self
        finally:
            if self._handle is not None:
                raw.KelUnLock(self._handle)

    # ---- Inside

    def _receive(self, size: int, step: str) -> bytes:
        buffer = ctypes.create_string_buffer(_word("size", size))
        rc = raw.KelReceive(self._handle, buffer, size, byref(c_uint32()), 1)
        if rc:
            self._fail(rc, step)
        return buffer.raw

    def _live(self, step: str) -> c_void_p:
        if not self._ready:
            self._refuse(step)
        assert self._handle is not None
        return self._handle

    def _refuse(self, step: str) -> NoReturn:
        """Refuses a call that the connection's state rules out, before the library is asked."""
        if self._handle is None:
            raise KelNotConnectedError(raw.KEL_ERR_NOT_CONNECTED, step, "the connection is closed")
        reason = "the connection lost its stream's place within a frame before; close it and connect again"
        raise KelCommError(raw.KEL_ERR_COMM, step, reason)

    def _check(self, rc: int, step: str) -> None:
        if rc:
            self._fail(rc, step)

    def _fail(self, rc: int, step: str) -> NoReturn:
        """Raises the error for rc with the library's reason: call it right after the failing call."""
        error = error_for(rc, step)
        if rc in _LOSES_STREAM:
            self._lost, self._ready = True, False
        raise error

    def _log_on(self, timeout_ms: int, tls: tuple[int, bytes | None, bytes | None] | None) -> None:
        handle = self._handle
        if timeout_ms:
            self._check(raw.KelSetTimeout(handle, timeout_ms), "set the time-out")
        if tls is not None:
            assert raw.KelSetTls is not None
            self._check(raw.KelSetTls(handle, *tls), "set up TLS")
        system = c_void_p()
        rc = raw.KelAllocHoxSystemExt(handle, byref(system))
        if rc:
            self._fail(rc, ("log on to " if is_host_code(rc) else "connect to ") + self.address)
        info = raw.KelSystemInfo()
        rc = raw.KelGetSystemInfo(system, byref(info))
        raw.KelFreeHoxSystem(system)  # the connection stays: it is ours
        self._check(rc, "read the server's identity")
        description = info.szServerDescription.decode("latin-1")
        self.server = ServerInfo(info.dwServerID, info.dwServerVersion, description, info.bLogonData)
        self._ready = True


def connect(
    host: str,
    port: int = DEFAULT_PORT,
    *,
    user: str | bytes,
    password: str | bytes,
    password2: str | bytes | None = None,
    timeout: float | None = None,
    tls: str | None = None,
    ca_file: str | None = None,
    server_name: str | None = None,
) -> Connection:
    """Connects to a server and logs on; the connection is a context manager that closes it.

    host: a host name, a dotted IPv4 address or an IPv6 address (::1 or
    [::1]); the name is resolved at the connect and its addresses are tried
    in the resolver's order until one answers. port: 0 also means 2893.
    Credentials are 8-bit text, at most 8 characters of each are used.
    timeout: the longest wait in seconds of each step (the TCP connect to each
    address, each send, each receive); None waits without bound (unless
    KELAPI_TIMEOUT_MS says otherwise).
    tls: "off", "require", "verify-ca" or "verify-full", with ca_file and
    server_name for the checks, where the library has TLS.
    Raises KelError (KelNotConnectedError when refused, KelHostError when the
    logon is refused, ...), or ValueError for arguments it cannot use.
    """
    timeout_ms = _timeout_ms(timeout)
    tls_setting = _tls_setting(tls, ca_file, server_name)
    credentials = (_text(user, "user"), _text(password, "password"))
    second = None if password2 is None else _text(password2, "password2")
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 0xFFFF:
        raise ValueError(f"port {port!r}: a whole number from 0 to 65535")
    handle, address = c_void_p(), _server_name(host, port)
    rc = raw.KelAllocConnectionByName(_text(host, "host"), port, *credentials, second, byref(handle))
    if rc:
        raise error_for(rc, f"connect to {address}")
    connection = Connection(handle, address, timeout)
    try:
        connection._log_on(timeout_ms, tls_setting)
    except BaseException:
        connection.close()
        raise
    return connection


def _server_name(host: str, port: int) -> str:
    """"HOST:PORT" as the library names the server in its reasons, an IPv6 address in brackets."""
    bracket = ":" in host and not host.startswith("[")
    return f"[{host}]:{port or DEFAULT_PORT}" if bracket else f"{host}:{port or DEFAULT_PORT}"


def _text(value: str | bytes, what: str) -> bytes:
    """8-bit text for the library: bytes as they are, a str character by character (Latin-1)."""
    try:
        data = value.encode("latin-1") if isinstance(value, str) else bytes(value)
    except UnicodeEncodeError:
        raise ValueError(f"{what}: only characters of 8 bits can be sent") from None
    if b"\0" in data:
        raise ValueError(f"{what}: a NUL character cannot be sent")
    return data


def _timeout_ms(timeout: float | None) -> int:
    if timeout is None:
        return 0
    number = isinstance(timeout, (int, float)) and not isinstance(timeout, bool)
    if not number or not 0 < timeout * 1000 <= _MAX_TIMEOUT_MS:
        raise ValueError(f"timeout {timeout!r}: seconds above 0, at most {_MAX_TIMEOUT_MS / 1000:g}, or None")
    return max(1, math.ceil(timeout * 1000))


def _tls_setting(
    tls: str | None, ca_file: str | None, server_name: str | None
) -> tuple[int, bytes | None, bytes | None] | None:
    if tls is None and ca_file is None and server_name is None:
        return None
    if tls not in TLS_MODES:
        modes = ", ".join(map(repr, TLS_MODES))
        raise ValueError(f"tls={tls!r}: one of {modes} (ca_file and server_name need one)")
    if raw.KelSetTls is None:
        raise ValueError(
            f"tls={tls!r}: the kelapi library {raw.library_path} has no TLS (KelSetTls); "
            "leave tls, ca_file and server_name unset, or use a library with TLS"
        )
    return (
        TLS_MODES[tls],
        None if ca_file is None else _text(ca_file, "ca_file"),
        None if server_name is None else _text(server_name, "server_name"),
    )


def _word(what: str, value: int) -> int:
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError(f"{what} {value!r}: an unsigned 32-bit value")
    return value


def _word_problem(**values: int) -> str:
    for what, value in values.items():
        limit = 0xFF if what == "flags" else 0xFFFFFFFF
        if not isinstance(value, int) or not 0 <= value <= limit:
            return f"{what} {value!r}: an unsigned {8 if what == 'flags' else 32}-bit value"
    return "data: more than 4 GiB"


def _record(command: Command) -> raw.KelCommand:
    names = ("code", "parm1", "retcode", "parm3", "data_len", "flags")
    fields = {name: getattr(command, name) for name in names}
    try:
        return raw.KelCommand.from_buffer_copy(_RECORD.pack(*fields.values()))
    except struct.error:
        raise ValueError(_word_problem(**fields)) from None
