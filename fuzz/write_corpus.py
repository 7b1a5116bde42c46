#!/usr/bin/env python3
"""Writes the fuzzer's starting inputs: typical host sessions in the harness's
call encoding (see fuzz_plugin.cpp). Run from the repository root."""
import os
import struct

OPEN, CLOSE, SET_FORMAT, SET_NULL_FORMAT, GET_FORMAT, OPEN_SOURCE, START, SET_TIME, CONTROL, READ, \
    READ_NULL, READ_NULL_DATA, CLOCK, INPUT_NAME, TICK = range(15)
INTERESTING = [0, 1, 2, 3, 4, 5, 9, 15, 16, 17, 63, 64, 65, 120, 160, 240, 320, 999, 1000, 1001, 1023, 1024,
               1025, 2047, 2049, 46340, 46341, 65535, 65536, 357913941, 715827882, 715827883, 0x40000000,
               2**31 - 1, -1, -2, -1000, -1001, -2**31, -2**31 + 1]


def pick(v):
    return bytes([INTERESTING.index(v)]) if v in INTERESTING else b'\xff' + struct.pack('<i', v)


def raw(v):
    return struct.pack('<i', v)


def fmt(w, h, code=2, depth=24):
    return bytes([SET_FORMAT]) + pick(w) + pick(h) + pick(code) + pick(depth)


def src(i):
    return bytes([OPEN_SOURCE]) + pick(i)


def ms(n):
    return bytes([CLOCK, 0]) + raw(n)


def session(w, h, inp, frames, start=True, time=None):
    s = bytes([OPEN]) + fmt(w, h) + src(inp) + bytes([GET_FORMAT])
    if start:
        s += bytes([START])
    if time is not None:
        s += bytes([SET_TIME]) + raw(time)
    for _ in range(frames):
        s += bytes([READ]) + ms(33)
    return s + bytes([CONTROL, 0, CLOSE])


inputs = {
    'typical-plasma': session(160, 120, 0, 3),
    'typical-red': session(320, 240, 1, 2, time=5000),
    'solid-green-blue': session(17, 5, 2, 1) + session(64, 3, 3, 1),
    'wide-plasma': session(1001, 3, 0, 2) + session(2049, 2, 0, 1),
    'unknown-inputs': session(5, 3, 4, 1) + session(5, 3, -1, 1) + session(5, 3, -2**31, 1),
    'refused-sizes': bytes([OPEN]) + fmt(-1, 10) + fmt(715827883, 1) + fmt(46341, 46341) + fmt(715827882, 1)
                     + fmt(0, 0) + bytes([READ, GET_FORMAT, CLOSE]),
    'closed-calls': bytes([SET_FORMAT]) + pick(4) + pick(4) + pick(2) + pick(24)
                    + bytes([GET_FORMAT, START, SET_TIME]) + raw(77) + bytes([READ, READ_NULL, READ_NULL_DATA]),
    'null-records': bytes([OPEN, SET_NULL_FORMAT]) + fmt(8, 2) + bytes([READ_NULL, READ_NULL_DATA, READ, CLOSE]),
    'clock-jumps': bytes([TICK]) + session(4, 4, 0, 1) + bytes([CLOCK, 1]) + raw(-100000)
                   + session(4, 4, 1, 1, time=2**31 - 1) + bytes([CLOCK, 1]) + raw(2**31 - 1) + bytes([TICK]),
    'identity': bytes([INPUT_NAME]) + pick(0) + bytes([INPUT_NAME]) + pick(3) + bytes([INPUT_NAME]) + pick(4)
                + bytes([INPUT_NAME]) + pick(-1) + bytes([CONTROL, 1, CONTROL, 2, CONTROL, 3]),
    'reopen': session(8, 8, 0, 1) + bytes([OPEN, OPEN]) + fmt(3, 3) + bytes([READ, CLOSE, CLOSE, OPEN, READ]),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
os.makedirs(here, exist_ok=True)
for name, data in inputs.items():
    with open(os.path.join(here, name), 'wb') as f:
        f.write(data)
