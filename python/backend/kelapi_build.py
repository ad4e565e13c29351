"""The package's build backend (PEP 517), from the standard library alone.

A wheel holds the files of src/kelapi and the metadata of pyproject.toml.
A kelapi library copied into src/kelapi (libkelapi.so.1 or kelapi.dll) goes
into the wheel too; the wheel is then for this platform only.
"""

from __future__ import annotations

import base64
import hashlib
import io
import sysconfig
import tarfile
import tomllib
import zipfile
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "kelapi"
NATIVE_LIBRARIES = {"libkelapi.so.1", "kelapi.dll"}
ConfigSettings = dict[str, Any] | None


def _project() -> dict[str, Any]:
    with open(ROOT / "pyproject.toml", "rb") as file:
        project: dict[str, Any] = tomllib.load(file)["project"]
    return project


def _metadata() -> str:
    p = _project()
    fields = [
        ("Metadata-Version", "2.1"),
        ("Name", p["name"]),
        ("Version", p["version"]),
        ("Summary", p["description"]),
        ("Requires-Python", p["requires-python"]),
        ("License", p["license"]["text"]),
        *(("Classifier", c) for c in p["classifiers"]),
        ("Description-Content-Type", "text/markdown"),
    ]
    head = "".join(f"{name}: {value}\n" for name, value in fields)
    readme = ROOT / str(p["readme"])
    return head + "\n" + readme.read_text(encoding="utf-8")


def _package_files() -> list[Path]:
    return sorted(
        f for f in PACKAGE.rglob("*") if f.is_file() and "__pycache__" not in f.parts and f.suffix != ".pyc"
    )


def _tag(files: list[Path]) -> str:
    if any(f.name in NATIVE_LIBRARIES for f in files):
        return "py3-none-" + sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "py3-none-any"


def _write_wheel(directory: str, entries: list[tuple[str, bytes]], tag: str) -> str:
    p = _project()
    dist_info = f"{p['name']}-{p['version']}.dist-info"
    entries = entries + [
        (f"{dist_info}/METADATA", _metadata().encode()),
        (f"{dist_info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: kelapi_build\nRoot-Is-Purelib: "
         f"{'true' if tag.endswith('any') else 'false'}\nTag: {tag}\n".encode()),
    ]
    record = io.StringIO()
    for name, data in entries:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.write(f"{name},sha256={digest},{len(data)}\n")
    record.write(f"{dist_info}/RECORD,,\n")
    wheel_name = f"{p['name']}-{p['version']}-{tag}.whl"
    with zipfile.ZipFile(Path(directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in entries + [(f"{dist_info}/RECORD", record.getvalue().encode())]:
            wheel.writestr(name, data)
    return wheel_name


def get_requires_for_build_wheel(config_settings: ConfigSettings = None) -> list[str]:
    return []


def get_requires_for_build_sdist(config_settings: ConfigSettings = None) -> list[str]:
    return []


get_requires_for_build_editable = get_requires_for_build_wheel


def build_wheel(
    wheel_directory: str, config_settings: ConfigSettings = None, metadata_directory: str | None = None
) -> str:
    files = _package_files()
    entries = [(f"kelapi/{f.relative_to(PACKAGE).as_posix()}", f.read_bytes()) for f in files]
    return _write_wheel(wheel_directory, entries, _tag(files))


def build_editable(
    wheel_directory: str, config_settings: ConfigSettings = None, metadata_directory: str | None = None
) -> str:
    """A wheel whose .pth file puts src on the path: edits take effect without reinstalling."""
    return _write_wheel(wheel_directory, [("kelapi.pth", f"{ROOT / 'src'}\n".encode())], "py3-none-any")


def build_sdist(sdist_directory: str, config_settings: ConfigSettings = None) -> str:
    p = _project()
    base = f"{p['name']}-{p['version']}"
    backend = sorted((ROOT / "backend").glob("*.py"))
    sources = [ROOT / "pyproject.toml", ROOT / str(p["readme"]), *backend, *_package_files()]
    with tarfile.open(Path(sdist_directory) / f"{base}.tar.gz", "w:gz") as sdist:
        for source in sources:
            sdist.add(source, f"{base}/{source.relative_to(ROOT).as_posix()}")
        info = _metadata().encode()
        entry = tarfile.TarInfo(f"{base}/PKG-INFO")
        entry.size = len(info)
        sdist.addfile(entry, io.BytesIO(info))
    return f"{base}.tar.gz"
