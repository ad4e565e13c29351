"""The package as a whole: finding the library, kelapi.raw against the header and the export list, the
install with pip, and python -m kelapi against kelcli."""

from __future__ import annotations

import ctypes
import os
import re
import shutil
import subprocess
import sys
import tomllib
from ctypes import byref, c_uint32, c_void_p
from collections.abc import Callable
from pathlib import Path

import pytest
from conftest import KELSRV, PASSWORD, ROOT, TLS_CERTS, TLS_SERVER, USER, Kelsrv, closed_port

import kelapi
from kelapi import _library, raw

LIBRARY = os.environ["KELAPI_LIBRARY"]
KELCLI = os.environ.get("KELCLI", str(Path(KELSRV).with_name("kelcli")))


@pytest.mark.parametrize(
    "variable, bundle, system_name, loads, message",
    [
        (LIBRARY, False, _library.FILE_NAME, LIBRARY, None),
        (None, True, "libkelapi-none.so.1", "bundled", None),
        ("/no/x.so", True, _library.FILE_NAME, None, r"/no/x.so \(from KELAPI_LIBRARY\): no such file\n[^ ]"),
        ("text", False, _library.FILE_NAME, None, r"text \(from KELAPI_LIBRARY\): .*text"),
        (None, False, "libkelapi-none.so.1", None,
         r"bundled with the package\): no such file\n  libkelapi-none.so.1 \(the system's search\)"),
    ],
    ids=["variable", "bundled", "variable-only", "not-a-library", "nothing"],
)
def test_the_library_is_found_in_order_or_every_place_tried_is_named(
    tmp_path: Path,
    variable: str | None,
    bundle: bool,
    system_name: str,
    loads: str | None,
    message: str | None,
) -> None:
    if bundle:
        shutil.copy(LIBRARY, tmp_path / system_name)
    if variable == "text":
        variable = str(tmp_path / "text")
        Path(variable).write_text("not a library")
    environ = {} if variable is None else {"KELAPI_LIBRARY": variable}
    if message is None:
        _, name = _library.load(environ, tmp_path, system_name)
        assert name == (str(tmp_path / system_name) if loads == "bundled" else loads)
    else:
        with pytest.raises(ImportError, match=message) as caught:
            _library.load(environ, tmp_path, system_name)
        assert "Set KELAPI_LIBRARY to the library's path" in str(caught.value)


def header_numbers() -> dict[str, int]:
    text = (ROOT / "include/kelapi.h").read_text()
    defines = re.findall(r"^#define (KELAPI_VERSION_\w+|KEL_\w+) +(0x[0-9A-F]+|\d+)u?\b", text, re.M)
    return {name: int(value, 0) for name, value in defines}


def test_raw_declares_every_export_and_constant_of_the_header() -> None:
    numbers = header_numbers()
    assert len(numbers) > 30 and {name: getattr(raw, name, None) for name in numbers} == numbers
    optional = {"KelSetTls"}  # a library without TLS lacks it
    for name in (ROOT / "tests/exports/expected_exports.txt").read_text().split():
        assert hasattr(raw, name) and (getattr(raw, name) is not None or name in optional), name
    errors = {name for name in numbers if name.startswith("KEL_ERR_") or name == "KEL_OK"}
    assert {kelapi.errors.result_name(numbers[name]) for name in errors} == errors
    assert (ctypes.sizeof(raw.KelCommand), ctypes.sizeof(raw.KelSystemInfo)) == (24, 92)
    version = "{KELAPI_VERSION_MAJOR}.{KELAPI_VERSION_MINOR}.{KELAPI_VERSION_PATCH}".format(**numbers)
    project = tomllib.loads((ROOT / "python/pyproject.toml").read_text())["project"]
    assert kelapi.__version__ == project["version"] == version


def test_raw_calls_take_and_give_the_c_types(kelsrv: Kelsrv) -> None:
    text, field = ctypes.create_string_buffer(16), ctypes.create_string_buffer(b"\xff" * 8, 8)
    assert raw.KelStrToIP(b"10.0.0.1") == int.from_bytes(bytes([10, 0, 0, 1]), sys.byteorder)
    assert raw.KelIPToStr(raw.KelStrToIP(b"10.0.0.1"), text) == 0 and text.raw == b"10.0.0.1".ljust(16, b"\0")
    assert (raw.KelDwordToNet(0x11223344), raw.KelWordToHost(0x1234)) == (0x44332211, 0x3412)
    assert (raw.KelCmdErrToKelErr(0x00010002), raw.KelCmdErrToKelErr(0xFFFFFFFF)) == (106, 3)
    assert raw.KelStrCopyToNetCP(field, b"abc", 8) and field.raw == b"abc\0\0\0\0\0"

    lines: list[bytes] = []
    callback = raw.KelTraceFunc(lines.append)
    raw.fKelTraceFunc.value, raw.bKelTraceOn.value = ctypes.cast(callback, c_void_p).value, 1
    system, connection, info = c_void_p(), c_void_p(), raw.KelSystemInfo()
    address, user, password = raw.KelStrToIP(b"127.0.0.1"), USER.encode(), PASSWORD.encode()
    rc = raw.KelAllocHoxSystem(address, kelsrv.port, user, password, None, byref(system))
    raw.bKelTraceOn.value, raw.fKelTraceFunc.value = 0, None
    assert rc == raw.KEL_OK and any(b"KelAllocHoxSystem lpSystem = " in line for line in lines)
    assert raw.KelGetSystemInfo(system, byref(info)) == 0 and info.szServerDescription.startswith(b"kelsrv")
    assert raw.KelGetConnection(system, byref(connection)) == 0
    request, reply, got = raw.KelCommand(0x80000100, 9, 0, 0, 5), raw.KelCommand(), c_uint32()
    rc = raw.KelExchange(connection, byref(request), b"hello", 0x40000100, byref(reply), text, 4, byref(got))
    assert (rc, reply.dwParm1, reply.dwDataLen, got.value) == (0, 9, 5, 0)  # longer than 4: in the stream
    assert raw.KelReceive(connection, text, 4, byref(got), 1) == 0 and text.raw[:4] == b"hell"
    assert raw.KelDispatchCommand(connection, byref(raw.KelCommand(0x40000100, 0, 0, 0, 1))) == 0
    assert raw.KelFreeHoxSystem(system) == 0


@pytest.mark.parametrize("isolation, bundle", [(True, False), (False, False), (True, True)],
                         ids=["isolated", "no-build-isolation", "bundled-library"])
def test_pip_installs_the_package_without_a_network(tmp_path: Path, isolation: bool, bundle: bool) -> None:
    source = tmp_path / "python"
    shutil.copytree(ROOT / "python", source, ignore=shutil.ignore_patterns("__pycache__", "tests", "bench"))
    if bundle:
        shutil.copy(LIBRARY, source / "src/kelapi" / _library.FILE_NAME)
    environ = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "KELAPI_", "PYTHON"))}
    command: list[str | Path] = [sys.executable, "-m", "pip", "install", "--no-index", "--no-cache-dir"]
    command += ["--target", tmp_path / "t"]
    command += ([] if isolation else ["--no-build-isolation"]) + [source]
    done = subprocess.run(command, env=environ, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    if not bundle:
        environ["KELAPI_LIBRARY"] = LIBRARY
    probe = "import kelapi; print(kelapi.library_path, kelapi.__file__)"
    environ["PYTHONPATH"] = str(tmp_path / "t")
    probe_command = [sys.executable, "-c", probe]
    run = subprocess.run(probe_command, cwd=tmp_path, env=environ, capture_output=True, text=True)
    installed = tmp_path / "t/kelapi"
    library = str(installed / _library.FILE_NAME) if bundle else LIBRARY
    assert run.stdout.split() == [library, str(installed / "__init__.py")], run.stderr
    assert (installed / "py.typed").exists()


# The host, the password, kelsrv's options (None: no server on the port), and the client's TLS options.
CA, OTHER_CA = str(TLS_CERTS / "ca.pem"), str(TLS_CERTS / "other-ca.pem")
INFO_CASES: list[tuple[str, str, tuple[str, ...] | None, tuple[str, ...]]] = [
    ("127.0.0.1", PASSWORD, (), ()),
    ("127.0.0.1", "wrong", (), ()),
    ("127.0.0.1", PASSWORD, None, ()),
    ("::1", "wrong", ("-a", "::1"), ()),
    ("localhost", PASSWORD, None, ()),
    ("localhost", PASSWORD, TLS_SERVER, ("--tls", "verify-full", "--tls-ca", CA)),
    ("127.0.0.1", PASSWORD, TLS_SERVER, ("--tls", "verify-full", "--tls-ca", OTHER_CA)),
]


@pytest.mark.parametrize("host, password, server, tls", INFO_CASES,
                         ids=["identity", "wrong-password", "refused", "ipv6-wrong-password", "name-refused",
                              "tls-verify-full", "tls-untrusted-ca"])
def test_python_m_kelapi_info_answers_as_kelcli_info(
    kelsrv_with: Callable[..., Kelsrv], host: str, password: str, server: tuple[str, ...] | None,
    tls: tuple[str, ...],
) -> None:
    port_number = closed_port() if server is None else kelsrv_with(*server).port
    arguments = ["info", "-u", USER, "-w", password, "-p", str(port_number), *tls, host]
    ours = subprocess.run([sys.executable, "-m", "kelapi", *arguments], capture_output=True, text=True,
                          env=os.environ | {"PYTHONPATH": str(ROOT / "python/src")})
    theirs = subprocess.run([KELCLI, *arguments], capture_output=True, text=True)
    assert (ours.returncode, ours.stdout) == (theirs.returncode, theirs.stdout)
    assert ours.stderr.removeprefix("kelapi:") == theirs.stderr.removeprefix("kelcli:")


# TLS options that python -m kelapi info refuses as kelcli info does (exit code 2), with the words of both.
TLS_USAGE = [
    (("--tls", "maybe"), "takes off, require, verify-ca or verify-full, not 'maybe'"),
    (("--tls-ca", CA), "--tls-ca and --tls-server-name go with --tls"),
    (("--tls", "require", "--tls-server-name="), "needs a name"),
]


@pytest.mark.parametrize("tls, message", TLS_USAGE, ids=["mode", "ca-without-mode", "empty-name"])
def test_python_m_kelapi_info_refuses_tls_options_as_kelcli_does(tls: tuple[str, ...], message: str) -> None:
    arguments = ["info", "-u", USER, "-p", str(closed_port()), *tls, "127.0.0.1"]
    ours = subprocess.run([sys.executable, "-m", "kelapi", *arguments], capture_output=True, text=True,
                          env=os.environ | {"PYTHONPATH": str(ROOT / "python/src")})
    theirs = subprocess.run([KELCLI, *arguments], capture_output=True, text=True)
    assert (ours.returncode, theirs.returncode) == (2, 2)
    assert message in ours.stderr.splitlines()[-1] and message in theirs.stderr, (ours.stderr, theirs.stderr)
