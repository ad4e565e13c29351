"""The library one to one: every export with its argument and result types,
both variables, both records and the header's constants, for programs
ported from C. The names and rules are those of kelapi.h and docs/reference.md.

Out-parameters are passed with ctypes.byref; strings are bytes::

    from ctypes import byref, c_void_p
    from kelapi import raw

    system = c_void_p()
    rc = raw.KelAllocHoxSystem(raw.KelStrToIP(b"127.0.0.1"), 0, b"user", b"secret", None, byref(system))
    info = raw.KelSystemInfo()
    if rc == raw.KEL_OK:
        raw.KelGetSystemInfo(system, byref(info))
        raw.KelFreeHoxSystem(system)

A library without one of the exports this package needs is refused at import
(ImportError). KelSetTls, which a library built without TLS lacks, is None
there.
A trace callback must be kept alive for as long as it is installed; see
kelapi.trace_to_logging for one that is.
"""

from __future__ import annotations

import ctypes
from ctypes import POINTER, c_char, c_char_p, c_int32, c_uint8, c_uint16, c_uint32, c_void_p
from typing import TYPE_CHECKING, Any

from ._library import load

if TYPE_CHECKING:
    from ctypes import _NamedFuncPointer as Function
else:
    Function = object

library, library_path = load()

# ==== Records


class KelCommand(ctypes.Structure):
    """One command frame in memory (24 bytes). A zero field is a word not on the wire."""

    _fields_ = [
        ("dwCommand", c_uint32),
        ("dwParm1", c_uint32),
        ("dwRetCode", c_uint32),
        ("dwParm3", c_uint32),
        ("dwDataLen", c_uint32),
        ("bFlags", c_uint8),
        ("abReserved", c_uint8 * 3),
    ]


class KelSystemInfo(ctypes.Structure):
    """The identity a server reported at the connect (92 bytes)."""

    _fields_ = [
        ("dwServerID", c_uint32),
        ("dwServerVersion", c_uint32),
        ("szServerDescription", c_char * 80),
        ("bLogonData", c_uint8),
        ("abFill", c_uint8 * 3),
    ]


HKELCONNECTION = c_void_p
HKELHOXSYSTEM = c_void_p

# The trace callback: the C calling convention on every platform (KELAPI_CALL is __cdecl).
KelTraceFunc = ctypes.CFUNCTYPE(None, c_char_p)

# ==== Variables: write .value (fKelTraceFunc: the address of a KelTraceFunc, or None)

bKelTraceOn = c_int32.in_dll(library, "bKelTraceOn")
fKelTraceFunc = c_void_p.in_dll(library, "fKelTraceFunc")

# ==== Functions


def _declare(name: str, restype: Any, *argtypes: Any) -> Function:
    try:
        function = getattr(library, name)
    except AttributeError:
        raise ImportError(
            f"kelapi: the library {library_path} has no {name}: it is older than this package"
        ) from None
    function.restype = restype
    function.argtypes = argtypes
    return function  # type: ignore[no-any-return]


def _declare_if_present(name: str, restype: Any, *argtypes: Any) -> Function | None:
    return _declare(name, restype, *argtypes) if hasattr(library, name) else None


_HANDLE = c_void_p
_P_HANDLE = POINTER(c_void_p)
_P_COUNT = POINTER(c_uint32)
_P_COMMAND = POINTER(KelCommand)
_P_CHARS = POINTER(c_char)

KelAllocConnection = _declare(
    "KelAllocConnection", c_int32, c_uint32, c_uint16, c_char_p, c_char_p, c_char_p, _P_HANDLE
)
KelFreeConnection = _declare("KelFreeConnection", c_int32, _HANDLE)
KelLock = _declare("KelLock", c_int32, _HANDLE)
KelUnLock = _declare("KelUnLock", c_int32, _HANDLE)
KelSend = _declare("KelSend", c_int32, _HANDLE, c_void_p, c_uint32, _P_COUNT, c_int32)
KelReceive = _declare("KelReceive", c_int32, _HANDLE, c_void_p, c_uint32, _P_COUNT, c_int32)

KelSendCommand = _declare("KelSendCommand", c_int32, _HANDLE, _P_COMMAND, c_int32)
KelReceiveCommand = _declare("KelReceiveCommand", c_int32, _HANDLE, _P_COMMAND)
KelDispatchCommand = _declare("KelDispatchCommand", c_int32, _HANDLE, _P_COMMAND)
KelWaitForResponse = _declare("KelWaitForResponse", c_int32, _HANDLE, c_uint32, _P_COMMAND)
KelCmdErrToKelErr = _declare("KelCmdErrToKelErr", c_int32, c_uint32)

KelConnect = _declare("KelConnect", c_int32, _HANDLE)
KelDisconnect = _declare("KelDisconnect", c_int32, _HANDLE)

KelAllocHoxSystem = _declare(
    "KelAllocHoxSystem", c_int32, c_uint32, c_uint16, c_char_p, c_char_p, c_char_p, _P_HANDLE
)
KelAllocHoxSystemExt = _declare("KelAllocHoxSystemExt", c_int32, _HANDLE, _P_HANDLE)
KelGetSystemInfo = _declare("KelGetSystemInfo", c_int32, _HANDLE, POINTER(KelSystemInfo))
KelGetConnection = _declare("KelGetConnection", c_int32, _HANDLE, _P_HANDLE)
KelSetConnection = _declare("KelSetConnection", c_int32, _HANDLE, _HANDLE)
KelFreeHoxSystem = _declare("KelFreeHoxSystem", c_int32, _HANDLE)

KelStrToIP = _declare("KelStrToIP", c_uint32, c_char_p)
KelHostNameToIP = _declare("KelHostNameToIP", c_uint32, c_char_p)
KelIPToStr = _declare("KelIPToStr", c_int32, c_uint32, _P_CHARS)

KelDwordToNet = _declare("KelDwordToNet", c_uint32, c_uint32)
KelDwordToHost = _declare("KelDwordToHost", c_uint32, c_uint32)
KelWordToNet = _declare("KelWordToNet", c_uint16, c_uint16)
KelWordToHost = _declare("KelWordToHost", c_uint16, c_uint16)
KelStrCopyToNetCP = _declare("KelStrCopyToNetCP", _P_CHARS, _P_CHARS, c_char_p, c_uint32)
KelStrCopyToHostCP = _declare("KelStrCopyToHostCP", _P_CHARS, _P_CHARS, c_char_p, c_uint32)

KelSetTimeout = _declare("KelSetTimeout", c_int32, _HANDLE, c_uint32)
KelResultText = _declare("KelResultText", c_char_p, c_int32)
KelExchange = _declare(
    "KelExchange", c_int32, _HANDLE, _P_COMMAND, c_void_p, c_uint32, _P_COMMAND, c_void_p, c_uint32, _P_COUNT
)
KelAllocConnectionByName = _declare(
    "KelAllocConnectionByName", c_int32, c_char_p, c_uint16, c_char_p, c_char_p, c_char_p, _P_HANDLE
)
KelGetErrorText = _declare("KelGetErrorText", c_int32, _P_CHARS, c_uint32)
KelSetTls = _declare_if_present("KelSetTls", c_int32, _HANDLE, c_uint32, c_char_p, c_char_p)

# ==== Constants of kelapi.h

KELAPI_VERSION_MAJOR = 1
KELAPI_VERSION_MINOR = 1
KELAPI_VERSION_PATCH = 0
KELAPI_VERSION = KELAPI_VERSION_MAJOR * 10000 + KELAPI_VERSION_MINOR * 100 + KELAPI_VERSION_PATCH

KEL_OK = 0
KEL_ERR_PARAM = 1
KEL_ERR_SYSTEM = 3
KEL_ERR_HANDLE = 4
KEL_ERR_CONNECTED = 5
KEL_ERR_ALREADY_CONNECTED = 100
KEL_ERR_NOT_CONNECTED = 101
KEL_ERR_COMM = 102
KEL_ERR_HOST_104 = 104
KEL_ERR_PROTOCOL = 105
KEL_ERR_HOST_106 = 106
KEL_ERR_HOST_107 = 107
KEL_ERR_HOST_108 = 108
KEL_ERR_LOCKED = 109
KEL_ERR_HOST_200 = 200
KEL_ERR_HOST_201 = 201
KEL_ERR_HOST_202 = 202
KEL_ERR_HOST_203 = 203
KEL_ERR_HOST_204 = 204
KEL_ERR_HOST_205 = 205

KEL_DEFAULT_PORT = 2893

KEL_CMD_IDENTIFY = 0x80000001
KEL_RSP_IDENTIFY = 0x40000001
KEL_CMD_LOGON = 0x80000002
KEL_RSP_LOGON = 0x40000002
KEL_CMD_DISCONNECT = 0x80000003
KEL_RSP_DISCONNECT = 0x40000003
KEL_CMD_IGNORE = 0x80000008

KEL_FLAG_PARM1 = 0x01
KEL_FLAG_RETCODE = 0x02
KEL_FLAG_PARM3 = 0x04
KEL_FLAG_DATALEN = 0x08
KEL_FLAG_NOSKIP = 0x10

KEL_TLS_OFF = 0
KEL_TLS_REQUIRE = 1
KEL_TLS_VERIFY_CA = 2
KEL_TLS_VERIFY_FULL = 3
