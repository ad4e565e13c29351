#!/usr/bin/env python3
"""The analyser's dissector against captures of real sessions with kelsrv.

Sessions run over loopback while tcpdump captures them: kelcli's identify and
logon; an echo of 200,000 bytes, whose frames span many segments; a raw client
whose frame header is split over two segments and which sends two frames in one
segment; kelsrv --replay answering with a reply that carries every word and the
application's flag bits; bytes that are no frame. tshark reads the capture with
the dissector, and each frame is checked field by field.

    dissector_test.py KELSRV KELCLI KELAPI_LUA

Exit 0 when every check holds, 1 when one fails, 77 (skipped, said loudly)
when this machine does not let the test capture.
"""
import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

KELSRV, KELCLI, LUA = sys.argv[1:4]
SKIPPED = 77
ECHO_SIZE = 200000
# The last packet of the capture: once it is in the file, so is everything before.
SENTINEL = bytes.fromhex("80000008015e471e1b")
# How long a helper process may take to report: a wait ends as soon as it
# does, so the limit only decides when a hung one counts as failed.
WAIT_LIMIT = float(os.environ.get("KEL_E2E_WAIT", "120"))

failures = []


def check(what, got, expected):
    ok = expected(got) if callable(expected) else got == expected
    if not ok:
        failures.append(f"{what}: got {got!r}, expected {expected.__doc__ if callable(expected) else repr(expected)}")


def wait_until(ready, what):
    """Polls ready() until it holds; fails the test once WAIT_LIMIT has passed."""
    deadline = time.monotonic() + WAIT_LIMIT
    while not ready():
        if time.monotonic() > deadline:
            sys.exit(f"FAIL: {what} after {WAIT_LIMIT:.0f} s")
        time.sleep(0.05)


def start_kelsrv(work, name, *args):
    """A kelsrv on a free port: (process, port)."""
    out = open(os.path.join(work, name + ".out"), "w+")
    err = open(os.path.join(work, name + ".log"), "w")
    process = subprocess.Popen([KELSRV, "-p", "0", *args], stdout=out, stderr=err)

    def reported():
        out.seek(0)
        if process.poll() is not None:
            sys.exit(f"FAIL: kelsrv {' '.join(args)} ended: {open(err.name).read()}")
        return out.readline().startswith("kelsrv listening on ")

    wait_until(reported, f"kelsrv {' '.join(args)} did not report its port")
    out.seek(0)
    return process, int(out.readline().rsplit(":", 1)[1])


def kelcli(port, *args, expect=0):
    run = subprocess.run([KELCLI, *args, "-u", "demo", "-w", "secret", "-p", str(port), "127.0.0.1"],
                         capture_output=True, timeout=60)
    check(f"kelcli {' '.join(args)} exit code", run.returncode, expect)


def raw_client(port, *pieces):
    """Sends each piece in a send of its own, far enough apart to travel alone."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for piece in pieces:
            s.sendall(piece)
            time.sleep(0.3)


def replay_record(work):
    """A session whose host replies to 0x80000200 with every word and the bits 0x20."""
    def frame(side, code, flags, data=b"", **words):
        line = {"session": 1, "time": 0, "from": side, "code": hex(code), "flags": hex(flags), **words}
        if data:
            line["data_len"], line["data"] = len(data), base64.b64encode(data).decode()
        return line

    identify = bytes.fromhex("5300000200010000") + b"replayed host".ljust(80, b"\0")
    lines = [{"kelsrv_record": 1},
             frame("client", 0x80000001, 0x08, bytes(88)),
             frame("host", 0x40000001, 0x08, identify),
             frame("client", 0x80000002, 0x08, b"demo".ljust(41, b"\0")),
             frame("host", 0x40000002, 0x08, b"\x2a"),
             frame("client", 0x80000200, 0x01, parm1=1),
             frame("host", 0x40000200, 0x2F, b"abcd", parm1=1, retcode=0x00030004, parm3=3),
             frame("client", 0x80000003, 0x00),
             frame("host", 0x40000003, 0x00),
             {"session": 1, "time": 0, "from": "host", "end": "closed"}]
    path = os.path.join(work, "replay.jsonl")
    with open(path, "w") as f:
        f.writelines(json.dumps(line) + "\n" for line in lines)
    return path


def capture(work, ports, run_sessions):
    """Runs the sessions while tcpdump captures them; the capture's path."""
    path = os.path.join(work, "sessions.pcap")
    filter_ = " or ".join(f"tcp port {port}" for port in ports)
    log = open(os.path.join(work, "tcpdump.log"), "w+")
    # -Z root: the scratch folder is root's, and tcpdump would otherwise drop to its own user.
    user = ["-Z", "root"] if os.geteuid() == 0 else []
    dump = subprocess.Popen(["tcpdump", "-i", "lo", "-U", "--immediate-mode", "-B", "32768", *user, "-w", path,
                             filter_],
                            stdout=subprocess.DEVNULL, stderr=log)
    def listening():
        log.seek(0)
        return "listening on" in log.read() or dump.poll() is not None

    wait_until(listening, "tcpdump did not start listening")
    if dump.poll() is not None:
        log.seek(0)
        print(f"SKIPPED: this machine does not let the test capture on the loopback interface "
              f"(user id {os.geteuid()}): {log.read().strip()}")
        sys.exit(SKIPPED)
    try:
        run_sessions()
        raw_client(ports[0], SENTINEL)
        wait_until(lambda: SENTINEL in open(path, "rb").read(), "the capture did not catch up with the sessions")
    finally:
        dump.send_signal(signal.SIGINT)
        dump.wait(timeout=30)
    return path


FIELDS = ["frame.number", "tcp.stream", "tcp.segment.count", "kelapi.from", "kelapi.code", "kelapi.name",
          "kelapi.flags", "kelapi.flags.parm1", "kelapi.flags.retcode", "kelapi.flags.parm3",
          "kelapi.flags.datalen", "kelapi.flags.noskip", "kelapi.flags.app", "kelapi.parm1", "kelapi.retcode",
          "kelapi.parm3", "kelapi.datalen", "kelapi.data", "kelapi.identify.id", "kelapi.identify.version",
          "kelapi.identify.description", "kelapi.logon.user", "kelapi.logon.password", "kelapi.logon.password2",
          "kelapi.logon.data", "kelapi.not_a_frame", "_ws.expert.message"]


def dissect(pcap, ports, *args):
    decode = [arg for port in ports for arg in ("-d", f"tcp.port=={port},kelapi")]
    run = subprocess.run(["tshark", "-r", pcap, "-X", f"lua_script:{LUA}", *decode, *args],
                         capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        sys.exit(f"FAIL: tshark exit {run.returncode}: {run.stderr}")
    return run.stdout


def packets(pcap, ports):
    """One dict per packet that holds kelapi, several frames' values joined by commas."""
    args = ["-Y", "kelapi", "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,"]
    out = dissect(pcap, ports, *args, *[arg for field in FIELDS for arg in ("-e", field)])
    return [dict(zip(FIELDS, line.split("\t"))) for line in out.splitlines()]


def more_than_one(value):
    """more than one segment"""
    return value.isdigit() and int(value) > 1


def scrambled(value):
    """16 bytes, not all zero"""
    return len(value) == 32 and value != "0" * 32


ZEROS16 = "0" * 32
# The connections in the order the sessions open them.
INFO, ECHO, RAW, REPLAY, NOT_FRAMES = range(5)
# What each frame must show: its connection, its code (several frames in one
# packet: their codes joined by commas; or a field and value of its own) and
# the fields to compare.
NOT_A_FRAME = "kelapi.not_a_frame"
CHECKS = [
    ("identify request", INFO, "0x80000001",
     {"kelapi.from": "client", "kelapi.name": "KEL_CMD_IDENTIFY", "kelapi.flags": "0x08", "kelapi.datalen": "88",
      "kelapi.identify.id": "0x43010100", "kelapi.identify.version": "0x00010001",
      "kelapi.identify.description": "Hox/Pym Connector API"}),
    ("identify reply", INFO, "0x40000001",
     {"kelapi.from": "server", "kelapi.name": "KEL_RSP_IDENTIFY", "kelapi.identify.id": "0x53000001",
      "kelapi.identify.version": "0x00010000", "kelapi.identify.description": "capture test"}),
    ("logon request", INFO, "0x80000002",
     {"kelapi.name": "KEL_CMD_LOGON", "kelapi.datalen": "41", "kelapi.logon.user": "demo",
      "kelapi.logon.password": scrambled, "kelapi.logon.password2": ZEROS16}),
    ("logon reply", INFO, "0x40000002", {"kelapi.retcode": "", "kelapi.logon.data": "0x2a"}),
    ("disconnect", INFO, "0x80000003", {"kelapi.name": "KEL_CMD_DISCONNECT", "kelapi.flags": "0x00"}),
    ("echo request over many segments", ECHO, "0x80000100",
     {"kelapi.name": "application", "kelapi.flags": "0x0d", "kelapi.parm1": "0x00000007",
      "kelapi.parm3": "0x00000009", "kelapi.datalen": str(ECHO_SIZE), "tcp.segment.count": more_than_one}),
    ("echo reply over many segments", ECHO, "0x40000100",
     {"kelapi.from": "server", "kelapi.parm1": "0x00000007", "kelapi.datalen": str(ECHO_SIZE),
      "tcp.segment.count": more_than_one}),
    ("a header split over two segments", RAW, "0x80000100",
     {"tcp.segment.count": "2", "kelapi.parm1": "0x0000002a", "kelapi.datalen": "5",
      "kelapi.data": "68656c6c6f"}),
    ("two frames in one segment", RAW, "0x80000100,0x80000003",
     {"kelapi.name": "application,KEL_CMD_DISCONNECT", "kelapi.flags": "0x09,0x00", "kelapi.data": "6869"}),
    ("every word and the application's bits", REPLAY, "0x40000200",
     {"kelapi.name": "application", "kelapi.flags": "0x2f", "kelapi.flags.parm1": "1",
      "kelapi.flags.retcode": "1", "kelapi.flags.parm3": "1", "kelapi.flags.datalen": "1",
      "kelapi.flags.noskip": "0", "kelapi.flags.app": "0x01", "kelapi.parm1": "0x00000001",
      "kelapi.retcode": "0x00030004", "kelapi.parm3": "0x00000003", "kelapi.datalen": "4",
      "kelapi.data": "61626364"}),
    ("a replayed identify reply", REPLAY, "0x40000001", {"kelapi.identify.description": "replayed host"}),
    ("bytes that are no frame", NOT_FRAMES, (NOT_A_FRAME, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n".hex()),
     {"kelapi.code": "", "_ws.expert.message": "Not a frame: a frame 0x47455420 announces 1869837370 bytes "
                                                "of data, more than 16777216"}),
    ("what follows them", NOT_FRAMES, (NOT_A_FRAME, b"more".hex()),
     {"kelapi.code": "", "_ws.expert.message": lambda m: "this direction stopped making sense in packet" in m}),
]


def main():
    for tool in ("tshark", "tcpdump"):
        if not shutil.which(tool):
            sys.exit(f"FAIL: {tool} is missing: scripts/setup.sh installs it")
    work = tempfile.mkdtemp()
    servers = []
    try:
        host, host_port = start_kelsrv(work, "host", "-u", "demo:secret", "--logon-data", "0x2a",
                                       "--description", "capture test")
        replay, replay_port = start_kelsrv(work, "replay", "--replay", replay_record(work))
        servers = [host, replay]
        data_file = os.path.join(work, "echo.bin")
        with open(data_file, "wb") as f:
            f.write(bytes(i * 7 & 0xFF for i in range(ECHO_SIZE)))
        echo = bytes.fromhex("80000100090000002a00000005") + b"hello"

        def sessions():
            kelcli(host_port, "info")
            kelcli(host_port, "send", "-c", "0x80000100", "--parm1", "7", "--parm3", "9", "-f", data_file)
            raw_client(host_port, echo[:3], echo[3:], bytes.fromhex("80000100090000000100000002") + b"hi" +
                       bytes.fromhex("8000000300"))
            kelcli(replay_port, "send", "-c", "0x80000200", "--parm1", "1", expect=201)
            raw_client(host_port, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", b"more")

        ports = [host_port, replay_port]
        pcap = capture(work, ports, sessions)
        # tcpdump's count of packets the kernel dropped also holds other traffic on the interface,
        # taken before its filter was in place: whether the sessions were captured whole, their
        # own sequence numbers tell.
        lost = dissect(pcap, ports, "-Y", "tcp.analysis.lost_segment || tcp.analysis.ack_lost_segment",
                       "-T", "fields", "-e", "frame.number").split()
        if lost:
            sys.exit(f"FAIL: the capture misses segments of the sessions before frames {lost}")
        found = packets(pcap, ports)
        for what, stream, key, expected in CHECKS:
            field, value = key if isinstance(key, tuple) else ("kelapi.code", key)
            hits = [p for p in found if p["tcp.stream"] == str(stream) and p[field] == value]
            if len(hits) != 1:
                seen = [(p["frame.number"], p["kelapi.code"] or "-") for p in found if p["tcp.stream"] == str(stream)]
                failures.append(f"{what}: {len(hits)} packets in connection {stream} with {field} '{value}'; "
                                f"its packets and codes: {seen}")
                continue
            for field, value in expected.items():
                check(f"{what}, {field}", hits[0][field], value)
        text = dissect(pcap, ports, "-V")
        check("the tree's Lua errors", text.count("Lua Error"), 0)
        check("the password in the tree", "secret" in text, False)
    finally:
        for server in servers:
            server.terminate()
            server.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("\n".join(f"FAIL: {failure}" for failure in failures))
        sys.exit(1)
    print(f"the dissector shows {len(CHECKS)} frames and streams as they were sent")


if __name__ == "__main__":
    main()
