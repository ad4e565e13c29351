"""The library's trace lines into logging."""

from __future__ import annotations

import atexit
import ctypes
import logging

from . import raw

_logger: logging.Logger | None = None


def _write_line(line: bytes | None) -> None:
    # Called by the library on the thread of the call that writes the line,
    # several at once; logging serialises its handlers itself.
    logger = _logger
    if logger is not None and line is not None:
        logger.debug("%s", line.decode("latin-1"))


# The callback lives as long as the module: a thread inside the library may
# still hold its address when the trace is switched off.
_CALLBACK = raw.KelTraceFunc(_write_line)
_CALLBACK_ADDRESS = ctypes.cast(_CALLBACK, ctypes.c_void_p).value


def trace_to_logging(logger: logging.Logger | None = None) -> None:
    """Sends every trace line of the library, from every thread, to logger (default: "kelapi") at DEBUG.

    The lines are the library's own (docs/README.md, "The trace"); they never
    hold a password. Calling it again changes the logger; trace_off() stops.
    """
    global _logger
    _logger = logger if logger is not None else logging.getLogger("kelapi")
    raw.fKelTraceFunc.value = _CALLBACK_ADDRESS
    raw.bKelTraceOn.value = 1


def trace_off() -> None:
    """Switches the library's trace off again."""
    raw.bKelTraceOn.value = 0
    raw.fKelTraceFunc.value = None


# No line may reach Python while the interpreter is going away.
atexit.register(trace_off)
