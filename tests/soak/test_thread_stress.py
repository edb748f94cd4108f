"""One board, eight Python threads calling all of its operations at random. Run in a child process so that a
deadlock or a crash fails this test (watchdog inside the child, timeout outside) instead of the whole run."""
import json
import os
import pathlib
import subprocess
import sys

from soak_length import length

WORKER = pathlib.Path(__file__).resolve().parent / "stress_worker.py"


def test_eight_threads_on_one_board(figure):
    seconds = length(5, 30)
    run = subprocess.run([sys.executable, str(WORKER), str(seconds), "8"], capture_output=True, text=True,
                         env=dict(os.environ), timeout=seconds + 120)
    assert run.returncode == 0, f"status {run.returncode}\n{run.stderr[-6000:]}"
    result = json.loads(run.stdout.strip().splitlines()[-1])
    counts = result["counts"]
    total = sum(counts.values())
    figure(f"thread stress: 8 threads, {seconds} s, {total} operations on one board "
           f"({', '.join(f'{n} {k}' for k, n in sorted(counts.items()))}); no crash, no deadlock, "
           f"pool {result['pool']} of 64 blocks")
    assert not result["problems"], result["problems"]
    assert not result["leaks"], result["leaks"]
    assert result["pool"] == 64
    assert all(n > 0 for n in counts.values()) and len(counts) == 11
