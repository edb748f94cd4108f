"""The module's own costs beside throughput, through the simulated board at full speed:

- one `samples` read of a queued block against NumPy allocating and copying the same block, and a read
  that finds nothing queued (the fixed cost of the call);
- how long `stop()` takes while the thread acquires, and while it waits for a free block;
- heap allocations per block in steady state, in the reading thread and in all others (the acquisition
  thread, and the simulator's), when the allocation counter is preloaded.

Prints one JSON object.
"""
import ctypes
import json
import statistics
import threading
import time

import numpy as np

from e2e_common import SAMPLES_COUNT, open_module_board

ROUNDS = 8
STOPS = 10


def queued_reads(board):
    """Lets acquisition fill the pool, stops it, then times every read of a queued block, and afterwards
    the NumPy baseline: a new array of the same shape plus a copy of the same data."""
    samples_ns, numpy_ns, empty_ns = [], [], []
    pool = [np.zeros((SAMPLES_COUNT, 5), dtype=np.int16) for _ in range(64)]
    for _ in range(ROUNDS):
        board.start()
        time.sleep(0.3)
        board.stop()
        while True:
            t0 = time.perf_counter_ns()
            block = board.samples
            t1 = time.perf_counter_ns()
            if block is None:
                break
            samples_ns.append(t1 - t0)
            pool[len(samples_ns) % len(pool)][:] = block
        # As a reader loop drops each array before the next read, so does the baseline; its sources are 64
        # arrays of the pool's size taken in turn, as far out of the cache as the queued blocks were.
        for source in pool:
            t0 = time.perf_counter_ns()
            copy = np.empty((SAMPLES_COUNT, 5), dtype=np.int16)
            np.copyto(copy, source)
            t1 = time.perf_counter_ns()
            numpy_ns.append(t1 - t0)
            del copy
        # Nothing queued: what the call costs before any array exists (GIL hand-over, channel lock).
        for _ in range(64):
            t0 = time.perf_counter_ns()
            board.samples
            empty_ns.append(time.perf_counter_ns() - t0)
    return (statistics.median(samples_ns), statistics.median(numpy_ns), statistics.median(empty_ns),
            len(samples_ns))


def drain(board):
    board.timeout = 0.0
    while board.samples is not None:
        pass


def stop_latency_acquiring(board):
    """A second thread keeps taking blocks, so the acquisition thread is busy reading when stop() comes."""
    latencies = []
    for _ in range(STOPS):
        drain(board)
        board.timeout = 0.05
        reading = True

        def consume():
            while reading:
                board.samples

        consumer = threading.Thread(target=consume)
        board.start()
        consumer.start()
        time.sleep(0.2)
        t0 = time.perf_counter()
        board.stop()
        latencies.append(time.perf_counter() - t0)
        reading = False
        consumer.join()
    return latencies


def stop_latency_pool_empty(board):
    """Nobody reads: the pool runs out and the thread sits in its wait for a free block."""
    latencies = []
    for _ in range(STOPS):
        drain(board)
        board.start()
        time.sleep(0.3)
        t0 = time.perf_counter()
        board.stop()
        latencies.append(time.perf_counter() - t0)
    return latencies


def allocations(board, blocks=2000):
    process = ctypes.CDLL(None)
    try:
        mark = process.alloc_counter_mark_reader
        reader = process.alloc_counter_reader
        others = process.alloc_counter_others
    except AttributeError:
        return None
    reader.restype = others.restype = ctypes.c_uint64
    drain(board)
    board.timeout = 2.0
    board.start()
    for _ in range(200):
        board.samples
    mark()
    r0, o0 = reader(), others()
    for _ in range(blocks):
        board.samples
    r1, o1 = reader(), others()
    board.stop()
    return {"reader_allocs_per_block": (r1 - r0) / blocks, "other_allocs_per_block": (o1 - o0) / blocks}


def main():
    board = open_module_board()
    board.timeout = 0.0
    samples_ns, numpy_ns, empty_ns, reads = queued_reads(board)
    acquiring = stop_latency_acquiring(board)
    waiting = stop_latency_pool_empty(board)
    result = {
        "samples_ns": samples_ns,
        "numpy_alloc_copy_ns": numpy_ns,
        "samples_over_numpy": round(samples_ns / numpy_ns, 3),
        "samples_nothing_queued_ns": empty_ns,
        "queued_reads_timed": reads,
        "stop_acquiring_ms": {"median": round(statistics.median(acquiring) * 1e3, 3),
                              "max": round(max(acquiring) * 1e3, 3)},
        "stop_waiting_for_block_ms": {"median": round(statistics.median(waiting) * 1e3, 3),
                                      "max": round(max(waiting) * 1e3, 3)},
        "allocations": allocations(board),
    }
    print(json.dumps(result), flush=True)


main()
