#!/usr/bin/env python3
# Writes the seed inputs of the player's fuzz target into corpus/: runs of messages (type
# byte 8 audio / 9 video, 16-bit length, body) as a server sends them, and hostile ones.
import os, struct

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "corpus")
os.makedirs(out, exist_ok=True)

sps = bytes([0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0xBF, 0xE5])
pps = bytes([0x68, 0xCE, 0x3C, 0x80])

def record(sps, pps, b4=0xFF, b5=0xE1):
    return bytes([1, sps[1], sps[2], sps[3], b4, b5]) + struct.pack(">H", len(sps)) + sps + \
        bytes([1]) + struct.pack(">H", len(pps)) + pps

def nals(*units):
    return b"".join(struct.pack(">I", len(u)) + u for u in units)

def msg(t, body):
    return bytes([t]) + struct.pack(">H", len(body)) + body

seq = bytes([0x17, 0, 0, 0, 0]) + record(sps, pps)
key = bytes([0x17, 1, 0, 0, 0]) + nals(bytes([0x06, 5, 1, 0x80]), bytes([0x65, 0x88, 0x84, 0x00]))
inter = bytes([0x27, 1, 0, 0, 0]) + nals(bytes([0x41, 0x9A, 0x02]))
aac_cfg = bytes([0xAF, 0, 0x12, 0x08])
aac_raw = bytes([0xAF, 1, 0x21, 0x10, 0x05, 0x00])

seeds = {
    "stream": msg(8, aac_cfg) + msg(9, seq) + msg(9, key) + msg(8, aac_raw) + msg(9, inter) * 3,
    "key_without_header": msg(9, key) + msg(9, inter),
    "header_mid_stream": msg(9, seq) + msg(9, key) + msg(9, inter) + msg(9, seq) + msg(9, inter) + msg(9, key),
    "record_not_ffe1": msg(9, bytes([0x17, 0, 0, 0, 0]) + record(sps, pps, 0xFC, 0xE2)) + msg(9, key),
    "nal_length_lies": msg(9, bytes([0x17, 1, 0, 0, 0]) + struct.pack(">I", 0xFFFFFF00) + b"\x65\x01"),
    "sps_length_lies": msg(9, bytes([0x17, 0, 0, 0, 0, 1, 0x42, 0xC0, 0x1E, 0xFF, 0xE1, 0x7F, 0xFF, 0x67])),
    "tiny_bodies": msg(9, b"") + msg(9, b"\x17") + msg(8, b"") + msg(8, b"\xAF") + msg(9, b"\x17\x00"),
    "big_parameter_sets": msg(9, bytes([0x17, 0, 0, 0, 0]) + record(bytes([0x67]) + bytes(90), bytes([0x68]) + bytes(30))),
    "converter_record": record(sps, pps),
}
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
