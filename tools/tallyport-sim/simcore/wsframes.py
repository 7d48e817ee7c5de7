"""Server-side WebSocket frame encoding.

The simulator writes its frames itself instead of going through the
library's sender, because tests need frames the library never produces:
one text message split into several frames, pings with a payload, and close
frames sent without waiting for the closing handshake. Server frames are
never masked.
"""

from __future__ import annotations

import struct

OP_CONTINUATION = 0x0
OP_TEXT = 0x1
OP_BINARY = 0x2
OP_CLOSE = 0x8
OP_PING = 0x9
OP_PONG = 0xA

DATA_OPCODES = {"text": OP_TEXT, "binary": OP_BINARY}
CONTROL_OPCODES = {"ping": OP_PING, "pong": OP_PONG}
CONTROL_PAYLOAD_LIMIT = 125


def encode_frame(opcode: int, payload: bytes, fin: bool = True) -> bytes:
    """One unmasked frame with the length in the shortest legal form."""
    first = (0x80 if fin else 0x00) | opcode
    length = len(payload)
    if length < 126:
        header = struct.pack("!BB", first, length)
    elif length < 0x10000:
        header = struct.pack("!BBH", first, 126, length)
    else:
        header = struct.pack("!BBQ", first, 127, length)
    return header + payload


def split_payload(payload: bytes, parts: int) -> list[bytes]:
    """Split into `parts` pieces of near-equal size (some empty when short)."""
    size, extra = divmod(len(payload), parts)
    pieces, start = [], 0
    for i in range(parts):
        end = start + size + (1 if i < extra else 0)
        pieces.append(payload[start:end])
        start = end
    return pieces


def encode_message(opcode: int, payload: bytes, fragments: int = 1) -> bytes:
    """A data message as one frame, or as a first frame plus continuations."""
    if fragments <= 1:
        return encode_frame(opcode, payload)
    pieces = split_payload(payload, fragments)
    frames = []
    for i, piece in enumerate(pieces):
        frames.append(encode_frame(opcode if i == 0 else OP_CONTINUATION,
                                   piece, fin=(i == len(pieces) - 1)))
    return b"".join(frames)


def encode_close(code: int | None, reason: str = "") -> bytes:
    """A close frame; a code of None sends the frame with no status at all."""
    if code is None:
        return encode_frame(OP_CLOSE, b"")
    payload = struct.pack("!H", code) + reason.encode("utf-8")
    return encode_frame(OP_CLOSE, payload[:CONTROL_PAYLOAD_LIMIT])
