"""python -m kelapi info [options] HOST: the server's identity, as 'kelcli info' shows it.

Exit code: 0; the library's result code when a call fails (101 no
connection, 102 connection lost or time-out ran out, 106 wrong password,
...); 2 when the command line cannot be used. A failure prints one line on
stderr: the step, the result code, its name and what it means, and the
library's reason ("Reason: connect to [::1]:2893: Connection refused ...").
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from collections.abc import Callable, Sequence

from . import TLS_MODES, KelError, __version__, connect, library_path, trace_to_logging

_MAX_TIMEOUT_SECONDS = 2147483


def _number(limit: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        # Decimal, 0x-hexadecimal or 0-octal, as kelcli reads numbers.
        base = 16 if text[:2].lower() == "0x" else 8 if len(text) > 1 and text[0] == "0" else 10
        try:
            value = int(text[2:] if base == 16 else text, base)
        except ValueError:
            value = -1
        if not text or not text[0].isdigit() or not 0 <= value <= limit:
            raise argparse.ArgumentTypeError(f"takes 0 to {limit}, not '{text}'")
        return value

    return parse


def _tls_mode(text: str) -> str:
    if text not in TLS_MODES:
        raise argparse.ArgumentTypeError(f"takes off, require, verify-ca or verify-full, not '{text}'")
    return text


def _not_empty(what: str) -> Callable[[str], str]:
    def parse(text: str) -> str:
        if not text:
            raise argparse.ArgumentTypeError(f"needs {what}")
        return text

    return parse


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m kelapi",
        description="Command-line client of a Hox/Pym connector server, over kelapi (as kelcli).",
        epilog=__doc__.split("\n\n", 1)[1] if __doc__ else None,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    version = f"kelapi {__version__} (library {library_path})"
    parser.add_argument("--version", action="version", version=version)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = commands.add_parser(
        "info",
        help="show the server's identity",
        description="Connects and logs on, prints the server's identity (identifier without its marker "
        "byte, version, description, logon data byte) and disconnects.",
    )
    info.add_argument("-u", "--user", required=True, help="user id (at most 8 characters are used)")
    info.add_argument(
        "-w", "--password", help="password; without it KELCLI_PASSWORD, and an empty one without that"
    )
    info.add_argument("-W", "--password2", help="second password; without it KELCLI_PASSWORD2, if set")
    info.add_argument("-p", "--port", type=_number(0xFFFF), default=0, help="server port (default 2893)")
    info.add_argument(
        "--timeout",
        type=_number(_MAX_TIMEOUT_SECONDS),
        default=10,
        metavar="SECONDS",
        help="longest wait for the server in each step (default 10; 0 waits without a bound)",
    )
    info.add_argument(
        "--tls",
        type=_tls_mode,
        metavar="MODE",
        help="TLS to the server (or to a TLS terminator in front of it): off, require (encrypted, the "
        "certificate not checked: no defence against an active attacker), verify-ca (the chain ends at a "
        "trusted CA), verify-full (that, and the certificate names the server: use this); without it "
        "KELAPI_TLS, KELAPI_TLS_CA and KELAPI_TLS_SERVER_NAME decide (default off)",
    )
    info.add_argument(
        "--tls-ca", type=_not_empty("a file name"), metavar="FILE",
        help="PEM file of the CAs to trust (default: the system's)",
    )
    info.add_argument(
        "--tls-server-name", type=_not_empty("a name"), metavar="NAME",
        help="the name the certificate must carry (default: HOST)",
    )
    info.add_argument("-t", "--trace", action="store_true", help="write the library's trace lines to stderr")
    info.add_argument("host", metavar="HOST", help="a host name, a dotted IPv4 address or an IPv6 address")
    info.set_defaults(usage_error=info.error)  # for the checks that span options
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    options = _parser().parse_args(argv)
    if options.tls is None and (options.tls_ca is not None or options.tls_server_name is not None):
        options.usage_error("--tls-ca and --tls-server-name go with --tls")
    if options.trace:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(message)s"))
        logger = logging.getLogger("kelapi")
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG)
        trace_to_logging(logger)
    password = options.password if options.password is not None else os.environ.get("KELCLI_PASSWORD", "")
    password2 = options.password2 if options.password2 is not None else os.environ.get("KELCLI_PASSWORD2")
    try:
        with connect(
            options.host,
            options.port,
            user=options.user,
            password=password,
            password2=password2,
            timeout=options.timeout or None,
            tls=options.tls,
            ca_file=options.tls_ca,
            server_name=options.tls_server_name,
        ) as connection:
            server = connection.server
    except KelError as error:
        print(f"kelapi: {error}", file=sys.stderr)
        return error.code
    except ValueError as error:
        print(f"kelapi: {error}", file=sys.stderr)
        return 2
    print(f"identifier 0x{server.id:08X}")
    print(f"version    0x{server.version:08X}")
    print(f"description {server.description}")
    print(f"logon data 0x{server.logon_data:02X}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
