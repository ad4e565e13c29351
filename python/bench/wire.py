"""The wire protocol in pure Python (socket and struct), without the library.

The benchmark's clients speak it to compare the library with what people
write by hand; the tests' scripted peers use it too. See docs/protocol.md.
"""

from __future__ import annotations

import random
import socket
import struct
from collections.abc import Callable

IDENTIFY, LOGON, ECHO = 0x80000001, 0x80000002, 0x80000100
_HEADER = struct.Struct(">IB")
_WORD_BITS = (0x01, 0x02, 0x04, 0x08)  # parm1, retcode, parm3, data length
# The number of words each combination of the four presence bits announces.
_WORD_COUNT = [bin(bits).count("1") for bits in range(16)]
CLIENT_IDENTIFY_BLOCK = bytes([0x43, 1, 1, 0, 0, 1, 0, 1]) + b"Hox/Pym Connector API".ljust(80, b"\0")


def frame(
    code: int, parm1: int = 0, retcode: int = 0, parm3: int = 0, data_len: int = 0, flags: int = 0
) -> bytes:
    """A frame as it travels: the code, the flag byte, one big-endian word per non-zero field."""
    words = [value for value in (parm1, retcode, parm3, data_len) if value]
    for bit, value in zip(_WORD_BITS, (parm1, retcode, parm3, data_len)):
        if value:
            flags |= bit
    return _HEADER.pack(code, flags) + struct.pack(f">{len(words)}I", *words)


def scrambled(password: bytes) -> bytes:
    """The 16 bytes that carry an 8-byte password field in the logon block."""
    out, previous = bytearray(), 0
    for byte in password.ljust(8, b"\0")[:8]:
        r = random.getrandbits(8)
        out += bytes([previous ^ r, r ^ byte])
        previous = byte
    return bytes(out)


def logon_block(user: bytes, password: bytes, password2: bytes = b"") -> bytes:
    second = scrambled(password2) if password2 else bytes(16)
    return user[:8].ljust(9, b"\0") + scrambled(password) + second


class Reader:
    """Exact reads on a socket: the header, the announced words, the data, as the library reads."""

    def __init__(self, sock: socket.socket) -> None:
        self.recv: Callable[[int], bytes] = sock.recv

    def exact(self, size: int) -> bytes:
        data = self.recv(size)
        while len(data) < size:
            more = self.recv(size - len(data))
            if not more:
                raise ConnectionError("the peer closed the connection")
            data += more
        return data

    def frame(self) -> tuple[int, int, tuple[int, ...]]:
        """The next frame: its code, flag byte and the words present (parm1, retcode, parm3, length)."""
        code, flags = _HEADER.unpack(self.exact(5))
        count = _WORD_COUNT[flags & 0x0F]
        return code, flags, struct.unpack(f">{count}I", self.exact(4 * count)) if count else ()


def data_length(flags: int, words: tuple[int, ...]) -> int:
    return words[-1] if flags & 0x08 else 0


def log_on(sock: socket.socket, user: bytes = b"bench", password: bytes = b"bench") -> None:
    """Identify and log on as the library does; ConnectionError if the server refuses."""
    reader = Reader(sock)
    for request, data in ((IDENTIFY, CLIENT_IDENTIFY_BLOCK), (LOGON, logon_block(user, password))):
        sock.sendall(frame(request, data_len=len(data)) + data)
        code, flags, words = reader.frame()
        body = reader.exact(data_length(flags, words))
        retcode = words[1 if flags & 0x01 else 0] if flags & 0x02 else 0
        if code != (request & 0x3FFFFFFF) | 0x40000000 or retcode:
            raise ConnectionError(f"request 0x{request:08X} refused: reply 0x{code:08X}, {words}, {body!r}")
