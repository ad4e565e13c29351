"""The library's result codes as exceptions: one class per kind of failure.

Failures of the connection are also ConnectionError, and a time-out also
TimeoutError, so that code written for sockets catches them:

    KelError
    ├── KelParamError             1   a required argument was missing
    ├── KelSystemError            3   the system refused a resource; an unknown host code
    ├── KelHandleError            4   a handle of the wrong kind
    ├── KelStateError             5, 100: the connection is open, or already connected
    │   └── KelLockedError        109 the busy flag is already set
    ├── KelConnectionError        (also ConnectionError)
    │   ├── KelNotConnectedError  101 no connection: refused, unreachable, or closed
    │   ├── KelCommError          102 a send or receive failed or came short
    │   ├── KelProtocolError      105 the server's answer does not fit the protocol
    │   └── KelTimeoutError       (also TimeoutError): the library's reason says that the
    │       │                     connection's time-out ended the call
    │       ├── KelConnectTimeoutError  101 the connect ran out of time (also KelNotConnectedError)
    │       └── KelCommTimeoutError     102 a send or receive did (also KelCommError)
    └── KelHostError              104, 106-108, 200-205: the host refused (a logon, or a
                                  command whose reply carried a return code)
"""

from __future__ import annotations

import ctypes
import re

from . import raw

_NAMES = {
    raw.KEL_OK: "KEL_OK",
    raw.KEL_ERR_PARAM: "KEL_ERR_PARAM",
    raw.KEL_ERR_SYSTEM: "KEL_ERR_SYSTEM",
    raw.KEL_ERR_HANDLE: "KEL_ERR_HANDLE",
    raw.KEL_ERR_CONNECTED: "KEL_ERR_CONNECTED",
    raw.KEL_ERR_ALREADY_CONNECTED: "KEL_ERR_ALREADY_CONNECTED",
    raw.KEL_ERR_NOT_CONNECTED: "KEL_ERR_NOT_CONNECTED",
    raw.KEL_ERR_COMM: "KEL_ERR_COMM",
    raw.KEL_ERR_PROTOCOL: "KEL_ERR_PROTOCOL",
    raw.KEL_ERR_LOCKED: "KEL_ERR_LOCKED",
    **{code: f"KEL_ERR_HOST_{code}" for code in (104, 106, 107, 108, 200, 201, 202, 203, 204, 205)},
}


def result_name(code: int) -> str:
    """The name of a result code's macro, or "unknown result" for a code the library never returns."""
    return _NAMES.get(code, "unknown result")


def result_text(code: int) -> str:
    """The library's sentence for a result code (KelResultText)."""
    text: bytes = raw.KelResultText(code)
    return text.decode("latin-1")


def is_host_code(code: int) -> bool:
    """Whether the code stands for a refusal by the host rather than a local or connection failure."""
    return code == 104 or 106 <= code <= 108 or 200 <= code <= 205


class KelError(Exception):
    """A call into the library failed.

    code: the result code; name: its macro's name; text: the library's
    sentence for it; reason: why this failure happened, in one line: the
    library's own (KelGetErrorText, read on the failing thread right after
    the call), or the package's for a failure it finds itself; step: what
    was being done; timeout: for a time-out, the bound in seconds that ran
    out, as the reason gives it, else None.
    """

    code: int
    name: str
    text: str
    reason: str
    step: str
    timeout: float | None

    def __init__(self, code: int, step: str, reason: str = "") -> None:
        self.code, self.step, self.reason = code, step, reason
        self.name, self.text = result_name(code), result_text(code)
        self.timeout = timed_out_after(code, reason)
        # The line kelcli prints for a failure, after its "kelcli: ".
        message = f"{step}: result {code} ({self.name}): {self.text}"
        super().__init__(f"{message} Reason: {reason}" if reason else message)


class KelParamError(KelError):
    pass


class KelSystemError(KelError):
    pass


class KelHandleError(KelError):
    pass


class KelStateError(KelError):
    pass


class KelLockedError(KelStateError):
    pass


class KelConnectionError(KelError, ConnectionError):
    pass


class KelNotConnectedError(KelConnectionError):
    pass


class KelCommError(KelConnectionError):
    pass


class KelProtocolError(KelConnectionError):
    pass


class KelTimeoutError(KelConnectionError, TimeoutError):
    pass


class KelConnectTimeoutError(KelNotConnectedError, KelTimeoutError):
    pass


class KelCommTimeoutError(KelCommError, KelTimeoutError):
    pass


class KelHostError(KelError):
    pass


_CLASSES: dict[int, type[KelError]] = {
    raw.KEL_ERR_PARAM: KelParamError,
    raw.KEL_ERR_SYSTEM: KelSystemError,
    raw.KEL_ERR_HANDLE: KelHandleError,
    raw.KEL_ERR_CONNECTED: KelStateError,
    raw.KEL_ERR_ALREADY_CONNECTED: KelStateError,
    raw.KEL_ERR_LOCKED: KelLockedError,
    raw.KEL_ERR_NOT_CONNECTED: KelNotConnectedError,
    raw.KEL_ERR_COMM: KelCommError,
    raw.KEL_ERR_PROTOCOL: KelProtocolError,
    **{code: KelHostError for code in _NAMES if is_host_code(code)},
}
_TIMEOUT_CLASSES: dict[int, type[KelError]] = {
    raw.KEL_ERR_NOT_CONNECTED: KelConnectTimeoutError,
    raw.KEL_ERR_COMM: KelCommTimeoutError,
}


# The library's reason for a send, receive or connect that its time-out ended; for a
# name with several addresses the last address tried is the one that counts.
_TIMED_OUT = re.compile(r"timed out after (\d+) ms$")
# Longer than any reason of the library.
_REASON_BUFFER_SIZE = 512


def timed_out_after(code: int, reason: str) -> float | None:
    """The bound in seconds that ran out, when reason says that a time-out ended a 101 or 102; else None."""
    match = _TIMED_OUT.search(reason) if code in _TIMEOUT_CLASSES else None
    return int(match[1]) / 1000 if match else None


def last_reason() -> str:
    """The library's reason for the last failure on this thread (KelGetErrorText)."""
    text = ctypes.create_string_buffer(_REASON_BUFFER_SIZE)
    raw.KelGetErrorText(text, len(text))
    return text.value.decode("latin-1")


def error_for(code: int, step: str, reason: str | None = None) -> KelError:
    """The exception for a failure with this code; a time-out's class when the reason says one ended it.

    Without a reason, it reads the library's: call it on the failing thread
    before any other call into the library.
    """
    if reason is None:
        reason = last_reason()
    if timed_out_after(code, reason) is not None:
        return _TIMEOUT_CLASSES[code](code, step, reason)
    return _CLASSES.get(code, KelError)(code, step, reason)
