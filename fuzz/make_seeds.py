#!/usr/bin/env python3
"""Writes the seed corpus fuzz/corpus/: a few lives of an instance, spelled out step by step.

The harness reads its input the way FuzzedDataProvider does: every number is taken from the end
of the input, most significant byte first. Each seed below is written as the list of values the
harness takes, in order; encode() lays them out back to front.
"""
import os
import struct

# Steps (the harness's step byte, modulo 12).
ACTIVATE, DEACTIVATE, PROCESS, WRITE, RESTART, QUIT, CALLBACK, RESET, REACTIVATE = 0, 1, 2, 5, 7, 8, 9, 10, 11
# Indices into the harness's table of rates.
HZ100, HZ1234, HZ9, HZ1, HZ_HALF, HZ_TINY, HZ8000, HZ2000, HZ441, HZ48000 = range(10)
ZERO, NEGATIVE, NAN, INF, GHZ1, PAST_U32, PAST_WAV, HUGE = range(10, 18)
# Indices into the harness's table of control-block fields.
FIELD = {name: i for i, name in enumerate(
    "magic writePosFraction updateCounter active previewRequest previewStart captureHold "
    "silenceThreshold playheadFraction insertRequest selectionStart selectionLength targetTrack "
    "snapshotRequest snapshotReady snapshotCount snapshotBytes sampleRate heartbeatMs rmsMaxDb "
    "momentaryMaxLufs shortTermMaxLufs crestDb resetMetersRequest rateMismatch capturedRate "
    "clearRequest lastOverviewColumn".split())}
GOOD, WRONG_MAGIC, SHORT, OTHERS_MAY_WRITE = range(4)


def u8(v): return (1, v)
def u16(v): return (2, v)
def u32(v): return (4, v)
def u64(v): return (8, v)


def encode(values):
    out = b""
    for size, value in values:
        out = (value % (1 << (8 * size))).to_bytes(size, "little") + out
    return out


def start(api, control):
    return [u8(api), u8(control)]


def activate(rate, step=ACTIVATE):
    return [u8(step), u8(rate), u32(4096)]


def block(frames, shape=0x0A, kind=1, special=2, seed=7, transport=None):
    """shape: input channels (bits 0-1), output channels (bits 2-3), in place (0x10), null right
    input (0x20), no input port (0xC0). kind: 0 constant, 1 noise, 2 any bits, 3 sprinkled."""
    values = [u8(PROCESS), u8(shape), u8(16), u16(frames)]
    for channel in range(2):
        values += [u64(seed + channel), u8(kind), u8(special)]
    if transport is None:
        values.append(u8(0))
    else:
        flags, seconds = transport
        values += [u8(1), u32(flags), u64(int(seconds * 2**31))]
    return values


def byte(field, value):
    return [u8(WRITE), u8(FIELD[field]), u8(80 + 0), u8(value)] if value > 1 else \
        [u8(WRITE), u8(FIELD[field]), u8(value)]


def fraction(field, value):
    """A f32 in -0.5..1.5 through the harness's probability mapping."""
    return [u8(WRITE), u8(FIELD[field]), u8(96), u32(round((value + 0.5) / 2.0 * 0xFFFFFFFF))]


def raw32(field, value):
    return [u8(WRITE), u8(FIELD[field]), u8(176), u32(value)]


PLAYING, SECONDS = 16, 4
SEEDS = {
    "snapshot_across_reactivation": start(0, 1) + activate(HZ100) + block(64) + block(64)
    + fraction("selectionStart", 0.0) + fraction("selectionLength", 0.5) + byte("snapshotRequest", 1)
    + block(0) + activate(HZ441, REACTIVATE) + block(32) + byte("snapshotRequest", 1) + block(8),
    "preview_fade_in_and_out": start(0, 1) + activate(HZ100) + block(200, kind=0, special=2)
    + fraction("previewStart", 0.25) + byte("previewRequest", 1) + block(30) + block(30)
    + byte("previewRequest", 0) + block(30) + block(30) + block(30, shape=0x1A),
    "insertion_and_callback": start(1, 1) + activate(HZ2000) + block(2000)
    + fraction("selectionStart", 0.0) + fraction("selectionLength", 0.01) + byte("insertRequest", 1)
    + block(16) + [u8(CALLBACK)] + block(16),
    "companion_restarts_and_quits": start(0, 1) + activate(HZ100) + block(50) + [u8(RESTART), u8(GOOD)]
    + block(50) + activate(HZ100, REACTIVATE) + block(50) + [u8(RESTART), u8(WRONG_MAGIC)]
    + activate(HZ9, REACTIVATE) + [u8(RESTART), u8(OTHERS_MAY_WRITE)] + activate(HZ100, REACTIVATE)
    + [u8(RESTART), u8(SHORT)] + activate(HZ100, REACTIVATE) + [u8(QUIT)]
    + activate(HZ100, REACTIVATE) + block(50) + [u8(RESTART), u8(GOOD)] + activate(HZ1, REACTIVATE)
    + block(50),
    "absurd_rates": start(0, 1) + activate(NAN) + activate(GHZ1) + activate(PAST_U32) + activate(INF)
    + activate(HZ_TINY) + block(64) + byte("snapshotRequest", 1) + fraction("previewStart", 1.0)
    + byte("previewRequest", 1) + block(64) + activate(HZ_HALF, REACTIVATE) + block(300)
    + [u8(DEACTIVATE)] + activate(ZERO) + activate(HZ1234) + block(100),
    "buffer_shapes_and_transport": start(0, 1) + activate(HZ441) + block(64, shape=0x00)
    + block(64, shape=0x05) + block(64, shape=0x3E, kind=2) + block(64, shape=0xCA)
    + block(100, transport=(PLAYING | SECONDS, 0.0)) + block(100, transport=(PLAYING | SECONDS, 0.23))
    + block(100, transport=(PLAYING | SECONDS, 5.0)) + block(100, transport=(PLAYING | SECONDS, -2.0))
    + block(100, kind=3, transport=(0, 0.0)) + [u8(RESET)] + block(1, shape=0x0F),
    "meter_and_capture_requests": start(0, 1) + activate(HZ100) + block(100, kind=3)
    + byte("resetMetersRequest", 1) + block(20) + byte("captureHold", 1) + block(20)
    + byte("captureHold", 0) + raw32("silenceThreshold", 0x7FC00000) + block(20)
    + byte("rateMismatch", 1) + block(20) + byte("clearRequest", 1) + block(20)
    + raw32("lastOverviewColumn", 70000) + block(20),
    "late_companion": start(0, 0) + activate(HZ100) + block(64) + [u8(RESTART), u8(GOOD)]
    + block(64) + activate(HZ100, REACTIVATE) + byte("snapshotRequest", 1) + block(64),
}

if __name__ == "__main__":
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(directory, exist_ok=True)
    for name, values in SEEDS.items():
        with open(os.path.join(directory, name), "wb") as seed:
            seed.write(encode(values))
