"""Where a recording's CPU goes: runs one `capture` of simulated boards at 40 MB/s and reads every thread's CPU
time from /proc at its end, grouped by what the thread does.

    tools/devroot run python3 bench/record_profile.py [--boards N] [--seconds S] [--format h5|npy|none]

Python names its threads for the OS: "run of SERIAL" reads a board (waits for blocks, checks their frames,
hands them to the sinks), "writer of FILE" writes an HDF5 file, "npy header ..." keeps a .npy's header up to
date; "pcb_roq decoder" is the module's acquisition thread of a board, which also pays for the simulated
board's production (as in the benchmark's read-only rows); the main thread waits.
"""
import argparse
import collections
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
BUILD = REPO / "build" / "bench"
TICKS = os.sysconf("SC_CLK_TCK")


def thread_times(pid):
    """{tid: (name, cpu seconds)} of every thread of `pid`."""
    out = {}
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            stat = (task / "stat").read_text()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        out[int(task.name)] = (name, (int(fields[11]) + int(fields[12])) / TICKS)
    return out


def group(name, tid, pid):
    if tid == pid:
        return "main thread (waits, prints progress)"
    if name.startswith("run of "):
        return "board readers (blocks, frame check, sinks' take)"
    if name.startswith("writer of"):
        return "HDF5 writer"
    if name.startswith("npy header"):
        return ".npy header"
    if name == "pcb_roq decoder":
        return "module's decoders (USB reads, decoding, the simulated boards' production)"
    return "other"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--boards", type=int, default=4)
    p.add_argument("--seconds", type=float, default=20)
    p.add_argument("--format", choices=("h5", "npy", "none"), default="h5")
    args = p.parse_args()
    serials = [f"SIM{i + 1:04d}" for i in range(args.boards)]
    env = dict(os.environ, LD_PRELOAD=str(BUILD / "sim" / "libpcb_roq_sim.so"),
               PYTHONPATH=os.pathsep.join([str(BUILD / "python"), str(REPO / "python")]),
               PCB_ROQ_SIM=";".join(f"serial={s},rate=4e7,fifo=1024" for s in serials))
    with tempfile.TemporaryDirectory() as tmp:
        out = ["--out", f"{tmp}/rec.{args.format}"] if args.format != "none" else []
        which = ["--all"] if args.boards > 1 else []
        cmd = [sys.executable, "-m", "pyzum_zezudi_vu", "capture", *which, "--seconds", str(args.seconds), *out,
               "--json"]
        proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        begin = time.monotonic()
        seen = {}
        # Threads end with the run: keep the last reading of each one.
        while proc.poll() is None:
            try:
                seen.update(thread_times(proc.pid))
            except OSError:
                break
            time.sleep(0.2)
        wall = time.monotonic() - begin
        summary = proc.stdout.read()
    totals = collections.Counter()
    for tid, (name, cpu) in seen.items():
        totals[group(name, tid, proc.pid)] += cpu
    whole = json.loads(summary) if summary.strip().startswith("{") else {}
    boards = whole.get("boards", [whole] if whole else [])
    print(f"capture of {args.boards} board(s) at 40 MB/s, {args.seconds:g} s, format {args.format}: "
          f"{sum(b.get('whole', False) for b in boards)} of {args.boards} whole; load {os.getloadavg()[0]:.2f}")
    print(f"{'threads':<76} {'CPU s':>7} {'share of a core':>16}")
    for what, cpu in totals.most_common():
        print(f"{what:<76} {cpu:>7.2f} {100 * cpu / wall:>15.0f} %")
    print(f"{'all':<76} {sum(totals.values()):>7.2f} {100 * sum(totals.values()) / wall:>15.0f} %")
    return 0


if __name__ == "__main__":
    sys.exit(main())
