#!/usr/bin/env python3
"""Writes the decoder's seed corpus (tests/fuzz/corpus/): one input per situation the decoder must survive.

The input format is described in read_script.hpp. Run again after changing it; libFuzzer grows its own working
corpus from these seeds (make fuzz keeps that one under build/fuzz).
"""
import pathlib

HERE = pathlib.Path(__file__).resolve().parent

BYTES, SHORT, ERROR, GENERATED = 0, 1, 2, 3
TAKE_NONE, TAKE_ONE, TAKE_ALL, TAKE_TWO = 0, 4, 8, 12
HOLD, RELEASE, STOP, STARVE = 0x10, 0x20, 0x40, 0x80


def samples(s):
    return bytes([(s - 2) % 31])


def frame(i, first=0xF0, second=0x0F):
    words = [(i * 5 + k) * 0x9E37 + 0x1234 & 0xFFFF for k in range(5)]
    return bytes([first, second]) + b"".join(w.to_bytes(2, "little") for w in words)


def frames(first, count):
    return b"".join(frame(first + i) for i in range(count))


def gen(skip=0, eighths=0, flags=TAKE_ALL):
    return bytes([GENERATED | flags, (eighths << 4) | skip])


def raw(data, flags=TAKE_ALL):
    return bytes([BYTES | flags]) + data


def short(data, flags=TAKE_ALL):
    return bytes([SHORT | flags, len(data)]) + data


def error(code, flags=TAKE_ALL):
    return bytes([ERROR | flags, -1 - code])


NOISE = bytes((i * 37 + 11) % 256 for i in range(60))

SEEDS = {
    # A clean stream in whole reads, small and larger blocks.
    "clean_s2": samples(2) + gen() * 12,
    "clean_s4": samples(4) + gen() * 10,
    "clean_s10": samples(10) + gen() * 8,
    "clean_s32": samples(32) + gen() * 6,
    # Reads of seven frames into blocks of ten: blocks span reads.
    "short_reads_span_blocks": samples(10) + b"".join(short(frames(7 * i, 7)) for i in range(6)),
    # The first read begins inside a frame: flush, backward search, realigning read.
    "misaligned_start": samples(4) + gen(skip=5) + gen() * 6,
    # Bytes lost in the middle of the stream, then the decoder must find the frames again.
    "dropped_bytes": samples(8) + gen() * 2 + gen(skip=3) + gen() * 3 + gen(skip=11) + gen() * 3,
    # A read ending in a partial frame, trailing bytes dropped.
    "trailing_partial_frame": samples(6) + short(frames(0, 3) + frames(3, 1)[:5]) + gen() * 4,
    # Exactly one frame: not decoded.
    "one_frame_read": samples(4) + short(frames(0, 1)) + gen() * 3,
    # Empty reads and error codes between good reads; stale sync bytes stay in the buffer.
    "empty_and_failed_reads": samples(4) + gen() + short(b"") + gen() + error(-4) + gen() + error(-200, STOP),
    # A wrong sync pair inside a read in step is copied like any frame.
    "bad_sync_inside_read": samples(4) + raw(frames(0, 1) + frame(1, 0xA5, 0x5A) + frames(2, 2)) + gen() * 2,
    # Bad sync at the start of every read: resynchronise without end until stopped.
    "never_in_step": samples(3) + raw(bytes(36)) * 4 + raw(b"\x0f\xf0" * 18, STOP),
    # A sync pair near the end of the buffer decides how many bytes the realigning read asks for.
    "backward_search": samples(4) + raw(bytes(30) + b"\xf0\x0f" + bytes(16)) + short(bytes(9)) + gen() * 3,
    # The consumer holds every block: the pool runs dry, the stop ends the wait with the full block delivered.
    "pool_exhausted_then_stop": samples(2) + gen(flags=TAKE_ALL | HOLD | STARVE) * 70,
    # The same with partial reads, so that the wait gives up in the middle of a read.
    "pool_exhausted_mid_read": samples(3) + (gen(eighths=4, flags=TAKE_ALL | HOLD | STARVE)
                                             + gen(flags=TAKE_ALL | HOLD | STARVE)) * 50,
    # Held blocks come back and acquisition carries on.
    "hold_and_release": samples(3) + gen(flags=TAKE_TWO | HOLD) * 40 + gen(flags=RELEASE | TAKE_ONE) * 10,
    # Stop with a partly filled block in hand.
    "stop_with_partial_block": samples(16) + short(frames(0, 5), TAKE_NONE | STOP) + gen(),
    # Stop during the very first read.
    "stop_in_first_read": samples(5) + gen(flags=STOP) + gen() * 4,
    # Nothing at all: the device is silent from the start.
    "empty_input": b"",
    "only_block_size": samples(7),
    # Raw noise with the sync pair sprinkled at odd places.
    "noise_with_sync_pairs": samples(5) + raw(NOISE.replace(b"\x0b", b"\xf0\x0f")) * 3,
}


def main():
    out = HERE / "corpus"
    out.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)
    print(f"wrote {len(SEEDS)} seeds to {out}")


if __name__ == "__main__":
    main()
