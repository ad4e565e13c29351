"""Finding and loading the kelapi shared library.

The order: the path in the environment variable KELAPI_LIBRARY if it is set
(and nothing else then, so that a program pointed at one library never runs
with another); else a library bundled beside this package; else the
system's own search for the library's file name.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from collections.abc import Mapping
from pathlib import Path

ENVIRONMENT_VARIABLE = "KELAPI_LIBRARY"
FILE_NAME = "kelapi.dll" if sys.platform == "win32" else "libkelapi.so.1"
PACKAGE_DIR = Path(__file__).resolve().parent

_HINT = (
    f"Set {ENVIRONMENT_VARIABLE} to the library's path (for example "
    f"build/native/lib/libkelapi.so.1 or build\\win64\\bin\\kelapi.dll), bundle it beside the "
    f"package (copy it into python/src/kelapi before 'pip install ./python'), or install it "
    f"where the system finds {FILE_NAME} ("
    + (
        "beside python.exe or in a directory on PATH"
        if sys.platform == "win32"
        else "the linker's cache, LD_LIBRARY_PATH"
    )
    + ")."
)


def candidates(environ: Mapping[str, str], package_dir: Path, file_name: str) -> list[tuple[str, str]]:
    """The libraries to try, in order, each with the reason it is tried."""
    chosen = environ.get(ENVIRONMENT_VARIABLE)
    if chosen:
        return [(chosen, f"from {ENVIRONMENT_VARIABLE}")]
    tried = [(str(package_dir / file_name), "bundled with the package"), (file_name, "the system's search")]
    if sys.platform == "win32":
        # Python loads DLLs without looking at PATH; find_library does.
        on_path = ctypes.util.find_library(file_name)
        if on_path:
            tried.append((on_path, "found on PATH"))
    return tried


def load(
    environ: Mapping[str, str] = os.environ, package_dir: Path = PACKAGE_DIR, file_name: str = FILE_NAME
) -> tuple[ctypes.CDLL, str]:
    """The first library that loads and its name or path; ImportError listing what was tried if none does."""
    failures = []
    for name, why in candidates(environ, package_dir, file_name):
        if os.path.dirname(name) and not os.path.exists(name):
            failures.append(f"  {name} ({why}): no such file")
            continue
        try:
            # CDLL: the C calling convention on every platform, and the interpreter
            # lock released for the length of every call.
            return ctypes.CDLL(name), name
        except OSError as error:
            failures.append(f"  {name} ({why}): {error}")
    raise ImportError("kelapi: cannot load the kelapi library. Tried:\n" + "\n".join(failures) + "\n" + _HINT)
