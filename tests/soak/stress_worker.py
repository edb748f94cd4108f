"""Eight threads call every operation of one board at random; run as a child process by test_thread_stress.py.

    python3 stress_worker.py SECONDS SEED

Prints one JSON line: operations per name, unexpected exceptions, blocks in the pool at the end. A thread that
does not finish in time makes the watchdog dump every thread's stack and exit with status 3.
"""
import datetime
import faulthandler
import json
import os
import pathlib
import random
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "sim"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "python"))

import pcb_roq_sim  # noqa: E402
import _pyzum_zezudi_vu as m  # noqa: E402
from sim_fixture import pool_size  # noqa: E402

THREADS = 8
# Past the run's end, the longest a thread may still need: a samples read waits at most 0.2 s, a stop one read.
GRACE_SECONDS = 30
td = datetime.timedelta


def operations(board, rng):
    """Every operation of the board, each a call with valid random arguments."""
    return {
        "start": board.start,
        "stop": board.stop,
        "flush": board.flush,
        "opened": board.opened,
        "serial_number": board.serial_number,
        "repr": lambda: repr(board),
        "samples": lambda: board.samples,
        "get_timeout": lambda: board.timeout,
        "set_timeout": lambda: setattr(board, "timeout", td(milliseconds=rng.randrange(0, 200))),
        "set_timeout_float": lambda: setattr(board, "timeout", rng.uniform(0, 0.2)),
        "raw": lambda: board._get_raw_data(rng.randrange(0, 5000)),
    }


def main():
    seconds, seed = float(sys.argv[1]), int(sys.argv[2])
    sim = pcb_roq_sim.Simulator()
    sim.configure("board")
    sim.latency_scale = 0.02
    board = m.PCB_ROQ("SIM0001", 256)
    board.timeout = td(milliseconds=100)
    counts = {}
    problems = []
    lock = threading.Lock()
    deadline = time.monotonic() + seconds

    def worker(index):
        rng = random.Random(seed * 100 + index)
        ops = operations(board, rng)
        names = sorted(ops)
        mine = dict.fromkeys(names, 0)
        try:
            while time.monotonic() < deadline:
                name = rng.choice(names)
                result = ops[name]()
                if name == "samples" and result is not None and result.shape != (256, 5):
                    raise AssertionError(f"block of shape {result.shape}")
                if name == "raw" and result.dtype.itemsize != 1:
                    raise AssertionError("raw bytes of the wrong type")
                mine[name] += 1
        except Exception as e:  # noqa: BLE001 (any exception is the finding)
            with lock:
                problems.append(f"thread {index} in {name}: {e!r}")
        with lock:
            for name, n in mine.items():
                counts[name] = counts.get(name, 0) + n

    workers = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(THREADS)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=max(0.0, deadline + GRACE_SECONDS - time.monotonic()))
    if any(w.is_alive() for w in workers):
        print("watchdog: threads still running after the grace period, stacks follow", file=sys.stderr)
        faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
        sys.stderr.flush()
        os._exit(3)

    # Every block must still be there: let acquisition fill the pool, then count what stop leaves queued.
    blocks = pool_size(board)
    del board
    print(json.dumps({"counts": counts, "problems": problems, "pool": blocks, "leaks": sim.leaks()}))


if __name__ == "__main__":
    main()
