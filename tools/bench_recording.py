"""The recording rows of `make bench`: boards at the chip's full rate read only, recorded into one HDF5 file, and
recorded to .npy (one capture process per board, since a .npy holds one board), side by side in one run.

Each row runs for PYZUM_BENCH_SECONDS (60 s) of capture. What a row reports:
- frames: what reached the reader (read-only) or the file (recordings), summed over the boards;
- lost: frames missing from the frame counter (recordings) or bytes the chip dropped (read-only);
- whole: how many boards' verdicts said "arrived whole";
- CPU: every process of the row (the simulated boards' production included, as in the read-only rows), as a
  share of one core over the row's wall time, and per board.
The load average before each row is written beside it.
"""
import json
import os
import pathlib
import resource
import subprocess
import sys
import time

RATE = 40e6
FIFO = 1024
BOARD_COUNTS = (1, 2, 4, 8)
NPY_BOARD_COUNTS = (1, 4)


def _sim(serials):
    return ";".join(f"serial={s},rate={RATE:g},fifo={FIFO}" for s in serials)


def _serials(boards):
    return [f"SIM{i + 1:04d}" for i in range(boards)]


def _children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def _summaries(stdout):
    summary = json.loads(stdout)
    return summary["boards"] if "boards" in summary else [summary]


class Recording:
    """Runs the rows with `env` (the simulator preloaded, the module and the companion importable) in `workdir`."""

    def __init__(self, env, workdir, seconds, bench_dir):
        self.env = env
        self.workdir = pathlib.Path(workdir)
        self.seconds = float(seconds)
        self.bench_dir = bench_dir

    def _row(self, kind, boards, run):
        print(f"+ recording row: {kind}, {boards} board(s) at {RATE / 1e6:g} MB/s, {self.seconds:g} s", flush=True)
        load = round(os.getloadavg()[0], 2)
        cpu0, wall0 = _children_cpu(), time.monotonic()
        try:
            row = run()
        except (subprocess.SubprocessError, ValueError, KeyError, OSError) as e:
            row = {"error": f"{type(e).__name__}: {e}"[-300:]}
        wall, cpu = time.monotonic() - wall0, _children_cpu() - cpu0
        row.update({"kind": kind, "boards": boards, "load_average_before": load, "wall_s": round(wall, 1),
                    "cpu_share": round(cpu / wall, 3), "cpu_share_per_board": round(cpu / wall / boards, 3)})
        return row

    def read_only(self, boards):
        def run():
            env = dict(self.env, PCB_ROQ_SIM=_sim(_serials(boards)), PYZUM_RR_READER="module",
                       PYZUM_RR_BOARDS=str(boards), PYZUM_RR_PAUSE="0", PYZUM_BENCH_SECONDS=str(self.seconds))
            proc = subprocess.run([sys.executable, "realrate.py"], cwd=self.bench_dir, env=env,
                                  capture_output=True, text=True, timeout=self.seconds * 4 + 300)
            lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
            if not lines:
                raise ValueError((proc.stderr or f"exit status {proc.returncode}").strip())
            r = json.loads(lines[-1])
            whole = sum(b["lost_bytes"] == 0 and b["out_of_step_rows"] == 0 for b in r["per_board"])
            return {"frames": r["rows"], "lost": r["lost_bytes"], "lost_unit": "bytes at the chip", "whole": whole,
                    **({"error": r["error"]} if "error" in r else {})}
        return self._row("read only", boards, run)

    def _captures(self, commands):
        procs = [subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for cmd, env in commands]
        results = []
        for p in procs:
            out, err = p.communicate(timeout=self.seconds * 4 + 300)
            try:
                results += _summaries(out)
            except ValueError:
                raise ValueError((err or out or f"exit status {p.returncode}").strip()) from None
        return results

    def _capture_cmd(self, out, serials):
        which = ["--all"] if len(serials) > 1 else ["--serial", serials[0]]
        return [sys.executable, "-m", "pyzum_zezudi_vu", "capture", *which, "--seconds", str(self.seconds),
                "--out", str(out), "--json"]

    @staticmethod
    def _tally(results, outs):
        lost = sum(b["frame_counter"].get("lost", 0) for b in results)
        size = sum(o.stat().st_size for o in outs if o.exists())
        for o in outs:
            o.unlink(missing_ok=True)
        return {"frames": sum(b["frames"] for b in results), "lost": lost, "lost_unit": "frames", "whole":
                sum(b["whole"] for b in results), "file_mb": round(size / 1e6),
                "verdicts": sorted({("arrived whole" if b["whole"] else "NOT whole: " + "; ".join(b["problems"]))
                                    for b in results})}

    def hdf5(self, boards):
        def run():
            out = self.workdir / "recording.h5"
            out.unlink(missing_ok=True)
            env = dict(self.env, PCB_ROQ_SIM=_sim(_serials(boards)))
            return self._tally(self._captures([(self._capture_cmd(out, _serials(boards)), env)]), [out])
        return self._row("HDF5, one file", boards, run)

    def npy(self, boards):
        def run():
            outs = [self.workdir / f"recording-{s}.npy" for s in _serials(boards)]
            # Each process has a simulated bus of its own, holding only the board it records.
            commands = [(self._capture_cmd(o, [s]), dict(self.env, PCB_ROQ_SIM=_sim([s])))
                        for o, s in zip(outs, _serials(boards))]
            return self._tally(self._captures(commands), outs)
        return self._row(".npy, one process per board", boards, run)

    def table(self):
        rows = []
        for boards in BOARD_COUNTS:
            rows.append(self.read_only(boards))
            rows.append(self.hdf5(boards))
            if boards in NPY_BOARD_COUNTS:
                rows.append(self.npy(boards))
        return rows


def ratios(rows):
    """Per board CPU of HDF5 over .npy, and of .npy over reading only, where both rows ran."""
    by = {(r["kind"], r["boards"]): r for r in rows if "error" not in r}
    out = {}
    for boards in NPY_BOARD_COUNTS:
        read, npy, h5 = (by.get((k, boards)) for k in ("read only", ".npy, one process per board",
                                                         "HDF5, one file"))
        if npy and h5:
            out[f"hdf5_over_npy_{boards}"] = round(h5["cpu_share"] / npy["cpu_share"], 2)
        if read and npy:
            out[f"npy_over_read_{boards}"] = round(npy["cpu_share"] / read["cpu_share"], 2)
    return out


def goals(rows, goal):
    by = {(r["kind"], r["boards"]): r for r in rows}
    four = by.get(("HDF5, one file", 4))
    if four:
        ok = "error" not in four and four["whole"] == 4 and four["lost"] == 0
        goal("4 boards at 40 MB/s into one HDF5 file: every frame, every verdict whole", four.get("lost", "failed"),
             ok)
        goal("4 boards into one HDF5 file under one core", f"{100 * four['cpu_share']:.0f} %",
             "error" not in four and four["cpu_share"] < 1.0)
    r = ratios(rows)
    for boards in NPY_BOARD_COUNTS:
        if f"hdf5_over_npy_{boards}" in r:
            goal(f"HDF5 CPU within 1.25x of .npy ({boards} board(s))", r[f"hdf5_over_npy_{boards}"],
                 r[f"hdf5_over_npy_{boards}"] <= 1.25)
        if f"npy_over_read_{boards}" in r:
            goal(f".npy CPU within 1.5x of reading only ({boards} board(s))", r[f"npy_over_read_{boards}"],
                 r[f"npy_over_read_{boards}"] <= 1.5)


def markdown(rows, seconds):
    lines = ["", f"Recording at {RATE / 1e6:g} MB/s per board, FIFO {FIFO} bytes, S = 4096, {seconds:g} s per row;"
                 " CPU is every process of the row (the simulated boards' production included) as a share of one"
                 " core.", "",
             "| boards | what | frames | lost | whole | CPU | CPU per board | load before |",
             "|---:|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        if "error" in r and "frames" not in r:
            lines.append(f"| {r['boards']} | {r['kind']} | failed | | | | | {r['load_average_before']} |")
            continue
        lines.append(f"| {r['boards']} | {r['kind']} | {r['frames']:,} | {r['lost']:,} {r['lost_unit']} | {r['whole']} of {r['boards']}"
                     f" | {100 * r['cpu_share']:.0f} % | {100 * r['cpu_share_per_board']:.0f} % |"
                     f" {r['load_average_before']} |")
    rs = ratios(rows)
    if rs:
        lines += ["", "Ratios of CPU: " + ", ".join(f"{k.replace('_', ' ')} {v}" for k, v in rs.items()) + "."]
    return lines
