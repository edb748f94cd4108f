#!/usr/bin/env python3
"""Builds the benchmark configuration in build/bench, runs every benchmark, prints a table and writes
build/bench/results.json (everything) and build/bench/results.md (the README's table).

C++ (Google Benchmark): the decoder over an in-memory device, channel round trips, the block copy.
End to end through the simulated board at unlimited rate, S = 4096, each for PYZUM_BENCH_SECONDS (3 s):
(a) this module, (b) pylibftdi, (c) libftdi's ftdi1 binding, both decoding with NumPy, (d) bare
ftdi_read_data in C++; then (e) this module and (f) the bare loop once more on the real libusb, the board
emulated at the usbfs level (its semantics, not its timing: (e)/(f) is the module's share of that cost). Then the module's own costs: samples against a NumPy copy, stop latency,
allocations per block. Goals are reported against, never enforced: the exit status only says whether
every run produced its numbers.
"""
import datetime
import json
import os
import pathlib
import platform
import subprocess
import sys

import bench_recording

REPO = pathlib.Path(__file__).resolve().parent.parent
BUILD = REPO / "build" / "bench"
BENCH = REPO / "bench"
SECONDS = os.environ.get("PYZUM_BENCH_SECONDS", "3")
# The real-rate table reads every row for a minute unless told otherwise.
REAL_RATE_SECONDS = os.environ.get("PYZUM_BENCH_SECONDS", "60")
REAL_RATES = (10e6, 20e6, 40e6)
CONDITIONS = ("idle", "co-load", "pause")
REAL_READERS = ("module", "pylibftdi", "ftdi1", "cpp")
FIFO = 1024


def sh(cmd, cwd=REPO, **kw):
    print("+", " ".join(str(c) for c in cmd), flush=True)
    return subprocess.run(cmd, cwd=cwd, **kw)


def build():
    flags = ["-DPYZUM_BUILD_BENCH=ON", "-DPYZUM_BUILD_TESTS=OFF", "-DPYZUM_BUILD_SIM=ON",
             "-DCMAKE_BUILD_TYPE=Release"]
    if sh(["cmake", "-S", ".", "-B", BUILD, "-G", "Ninja", "-Wno-dev", *flags],
          stdout=subprocess.DEVNULL).returncode != 0:
        return False
    return sh(["cmake", "--build", BUILD]).returncode == 0


def sim_env(preload_counter=False):
    env = dict(os.environ)
    preload = [str(BUILD / "sim" / "libpcb_roq_sim.so")]
    if preload_counter:
        preload.insert(0, str(BUILD / "bench" / "libpyzum_alloc_counter.so"))
    env["LD_PRELOAD"] = ":".join(preload)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD / "python"), str(REPO / "python")])
    env["PYZUM_BENCH_SECONDS"] = SECONDS
    env.pop("PCB_ROQ_SIM", None)  # the simulator's one default board
    return env


def usbfs_env():
    """The same board on an emulated usbfs under the real libusb: checks what libusb does, not when; its ioctls
    cost the process 100-200 us each, so the bare loop on the same emulation says what the emulator costs."""
    env = sim_env()
    env["LD_PRELOAD"] = ":".join([str(BUILD / "sim" / "libpcb_roq_usbfs.so"), "libumockdev-preload.so.0"])
    return env


def run_json(name, cmd, env):
    """Runs one benchmark process; its last stdout line is its JSON result."""
    try:
        proc = sh(cmd, cwd=BENCH, env=env, capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        print(f"  {name} failed: no result within 600 s", file=sys.stderr)
        return {"name": name, "error": "no result within 600 s"}
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    if not lines:
        tail = (proc.stderr or proc.stdout or f"exit status {proc.returncode}").strip().splitlines()[-5:]
        print(f"  {name} failed: " + " | ".join(tail), file=sys.stderr)
        return {"name": name, "error": "\n".join(tail)}
    result = json.loads(lines[-1])
    if proc.returncode != 0:
        # The numbers were measured and printed; what failed came after (seen once at interpreter exit).
        print(f"  {name}: exit status {proc.returncode} after its result; stderr: {proc.stderr.strip()[-300:]}",
              file=sys.stderr)
        result["exit_status"] = proc.returncode
    return result


def real_rate_env(rate, boards, reader, pause):
    env = sim_env()
    env["PYTHONPATH"] = os.pathsep.join([env["PYTHONPATH"], str(REPO / "sim")])
    env["PYZUM_BENCH_SECONDS"] = REAL_RATE_SECONDS
    env["PCB_ROQ_SIM"] = ";".join(f"serial=SIM{i + 1:04d},rate={rate:g},fifo={FIFO}" for i in range(boards))
    env["PYZUM_RR_READER"] = reader
    env["PYZUM_RR_BOARDS"] = str(boards)
    env["PYZUM_RR_PAUSE"] = "1" if pause else "0"
    env["PYZUM_RR_REAL"] = "1"
    return env


def cpp_real_rate(env, boards):
    """The bare C++ loop, one process per board (each carries its own simulated bus, read on one board)."""
    procs = []
    for i in range(boards):
        e = dict(env, PYZUM_BENCH_SERIAL=f"SIM{i + 1:04d}")
        procs.append(subprocess.Popen([BUILD / "bench" / "ftdi_read_ceiling"], cwd=BENCH, env=e,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    rows = []
    for p in procs:
        out, err = p.communicate(timeout=3600)
        lines = [line for line in out.splitlines() if line.startswith("{")]
        if not lines:
            return {"name": "cpp", "error": (err or f"exit status {p.returncode}").strip()[-300:]}
        rows.append(json.loads(lines[-1]))
    lost = sum(r["lost_bytes"] for r in rows)
    stream = sum(r["stream_bytes"] for r in rows)
    return {"name": "cpp", "boards": boards, "lost_share": lost / stream if stream else None, "lost_bytes": lost,
            "stream_bytes": stream, "rows": None, "out_of_step_rows": None,
            "checked_reads_failed": sum(r["checked_reads_failed"] for r in rows),
            "cpu_share": round(sum(r["cpu_share"] for r in rows), 3)}


class CoLoad:
    """Two CPU-bound processes at normal priority for the length of a run."""

    def __enter__(self):
        self.procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            p.kill()
            p.wait()


def real_rate_run(rate, condition, boards, reader):
    env = real_rate_env(rate, boards, reader, condition == "pause")
    print(f"+ real rate {rate / 1e6:g} MB/s, {condition}, {boards} board(s), {reader}", flush=True)
    load = CoLoad() if condition == "co-load" else None
    if load:
        load.__enter__()
    try:
        if reader == "cpp":
            row = cpp_real_rate(env, boards)
        else:
            row = run_json(reader, [sys.executable, "realrate.py"], env)
    finally:
        if load:
            load.__exit__()
    row.update({"rate": rate, "condition": condition, "boards": boards, "reader": reader})
    return row


def real_rate_table():
    """Every reader at real rates under every host condition, then four boards at the chip's full rate."""
    rows = []
    for rate in REAL_RATES:
        for condition in CONDITIONS:
            for reader in REAL_READERS:
                if condition == "pause" and reader == "cpp":
                    continue  # no interpreter to hold
                rows.append(real_rate_run(rate, condition, 1, reader))
    for reader in REAL_READERS:
        rows.append(real_rate_run(40e6, "idle", 4, reader))
    return rows


def lsl_env():
    """The stream command's outlet and one inlet, each rate for 10 s unless PYZUM_BENCH_SECONDS says otherwise."""
    env = sim_env()
    env["PYZUM_BENCH_SECONDS"] = os.environ.get("PYZUM_BENCH_SECONDS", "10")
    return env


def lsl_line(lsl):
    if "error" in lsl:
        return f"LSL outlet: failed: {lsl['error']}"
    best = lsl["highest_whole_mb_s"]
    return (f"LSL outlet, one inlet on loopback, FIFO {lsl['fifo']} bytes, {lsl['seconds_per_rate']:g} s per rate: "
            f"every frame arrives up to {best} MB/s" + (f" (outlet {100 * lsl['outlet_cpu_share']:.0f} %, inlet "
            f"{100 * lsl['inlet_cpu_share']:.0f} % of a core)" if best else "")
            + ("" if best == 40 else f"; {lsl['rows'][-1]['mb_s']} MB/s did not"))


def real_rate_cells(row):
    if row.get("error") == "a reader received no block":
        # Every block it assembled held a gap: it delivered nothing in six times the row's duration.
        return ["no whole block", "", ""]
    if "error" in row:
        return ["failed", "", ""]
    lost = f"{100 * row['lost_share']:.3f} %" if row.get("lost_share") is not None else "?"
    steps = str(row["out_of_step_rows"]) if row.get("out_of_step_rows") is not None else "n/a"
    return [lost, steps, f"{100 * row['cpu_share']:.0f} %"]


READER_NAMES = {"module": "pyzum_zezudi_vu", "pylibftdi": "pylibftdi", "ftdi1": "ftdi1",
                "cpp": "ftdi_read_data (C++)"}


def cpp_benchmarks():
    out = BUILD / "cpp.json"
    # The simulator is preloaded for the board benchmark; the in-memory ones never reach it.
    proc = sh([BUILD / "bench" / "pyzum_bench", "--benchmark_format=console", f"--benchmark_out={out}",
               "--benchmark_out_format=json"], env=sim_env())
    if proc.returncode != 0 or not out.exists():
        return None
    data = json.loads(out.read_text())
    keep = ("real_time", "cpu_time", "time_unit", "iterations", "bytes_per_second",
            "acquisition_allocs_per_block", "allocs_per_round_trip")
    return {b["name"]: ({k: b[k] for k in keep if k in b} if not b.get("error_occurred")
                        else {"error": b.get("error_message", "")}) for b in data["benchmarks"]}


def machine():
    model = ""
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"host": platform.node(), "cpu": model, "cores": os.cpu_count(), "kernel": platform.release(),
            "python": platform.python_version()}


def ratio(a, b, key):
    if not a or not b or "error" in a or "error" in b or not b.get(key):
        return None
    return round(a[key] / b[key], 3)


def goals(results):
    e2e = {row["key"]: row for row in results["end_to_end"]}
    a, b, c, d = (e2e.get(k) for k in "abcd")
    peers = [p for p in (b, c) if p and "error" not in p]
    best = max(peers, key=lambda p: p["mb_per_s"]) if peers else None
    cpp = results.get("cpp") or {}
    decoder = cpp.get("BM_DecoderInMemory/4096/min_time:1.000/real_time", {})
    module = results.get("module") or {}
    out = []

    def goal(text, value, met):
        out.append({"goal": text, "value": value, "met": met})

    if a and best and "error" not in a:
        speed = round(a["mb_per_s"] / best["mb_per_s"], 2)
        cpu = round(a["cpu_s_per_gb"] / best["cpu_s_per_gb"], 2)
        goal(f"(a) >= 3x the better peer ({best['name']}) in MB/s", speed, speed >= 3)
        goal(f"(a) <= 1/3 of the better peer's CPU s/GB", cpu, cpu <= 1 / 3)
    if a and d and "error" not in a and "error" not in d:
        share = round(a["mb_per_s"] / d["mb_per_s"], 2)
        goal("(a) >= 0.75 of (d)", share, share >= 0.75)
    if "bytes_per_second" in decoder:
        gbs = round(decoder["bytes_per_second"] / 1e9, 2)
        goal("decoder core >= 2 GB/s", gbs, gbs >= 2)
    if "samples_over_numpy" in module:
        goal("samples <= 2x NumPy alloc+copy", module["samples_over_numpy"], module["samples_over_numpy"] <= 2)
    full_rate = [r for r in results.get("real_rate", []) if r["reader"] == "module" and r["rate"] == 40e6]
    if full_rate:
        lost = sum(r.get("lost_bytes", 0) for r in full_rate)
        clean = all("error" not in r for r in full_rate) and lost == 0
        goal("(a) 0 bytes lost at the chip at 40 MB/s, every host condition, one board and four", lost, clean)
    bench_recording.goals(results.get("recording", []), goal)
    if "acquisition_allocs_per_block" in decoder:
        n = round(decoder["acquisition_allocs_per_block"], 4)
        goal("0 steady-state allocations per block (acquisition thread, in-memory device)", n, n == 0)
    return out


def table(results):
    lines = [f"End to end, simulated board at unlimited rate, S = 4096, {SECONDS} s each",
             f"  {'run':<28} {'MB/s':>9} {'CPU s/GB':>9} {'frames':>11} {'contiguous':>10}"]
    for row in results["end_to_end"]:
        label = f"({row['key']}) {row['name']}"
        if "error" in row:
            lines.append(f"  {label:<28} failed: {row['error'].splitlines()[-1] if row['error'] else ''}")
            continue
        lines.append(f"  {label:<28} {row['mb_per_s']:>9.1f} {row['cpu_s_per_gb']:>9.3f} {row['frames']:>11}"
                     f" {str(row['contiguous']):>10}")
    r = results["ratios"]
    lines.append("  ratios (a)/(b) {} (a)/(c) {} (a)/(d) {}  [MB/s]".format(
        *(r[k]["mb_per_s"] for k in ("a_over_b", "a_over_c", "a_over_d"))))
    lines.append("  ratios (a)/(b) {} (a)/(c) {} (a)/(d) {}  [CPU s/GB]".format(
        *(r[k]["cpu_s_per_gb"] for k in ("a_over_b", "a_over_c", "a_over_d"))))
    lines.append("  real libusb over the emulated usbfs: (e)/(f) {} [MB/s] {} [CPU s/GB]; (e)/(a) {} {}".format(
        r["e_over_f"]["mb_per_s"], r["e_over_f"]["cpu_s_per_gb"], r["e_over_a"]["mb_per_s"],
        r["e_over_a"]["cpu_s_per_gb"]))
    cpp = results.get("cpp") or {}
    if cpp:
        lines.append("C++")
        for name, b in cpp.items():
            if "error" in b:
                lines.append(f"  {name:<52} failed: {b['error']}")
                continue
            extra = ""
            if "bytes_per_second" in b:
                extra += f"  {b['bytes_per_second'] / 1e9:.2f} GB/s"
            for k in ("acquisition_allocs_per_block", "allocs_per_round_trip"):
                if k in b:
                    extra += f"  {k}={b[k]:.3f}"
            lines.append(f"  {name:<52} {b['real_time']:>10.0f} {b['time_unit']}{extra}")
    module = results.get("module") or {}
    if "samples_ns" in module:
        lines.append("Module")
        lines.append(f"  samples on a queued block      {module['samples_ns'] / 1e3:.1f} us"
                     f"  (NumPy alloc+copy {module['numpy_alloc_copy_ns'] / 1e3:.1f} us,"
                     f" ratio {module['samples_over_numpy']}; nothing queued"
                     f" {module['samples_nothing_queued_ns'] / 1e3:.1f} us)")
        s1, s2 = module["stop_acquiring_ms"], module["stop_waiting_for_block_ms"]
        lines.append(f"  stop() while acquiring         median {s1['median']} ms, max {s1['max']} ms")
        lines.append(f"  stop() waiting for free block  median {s2['median']} ms, max {s2['max']} ms")
        if module.get("allocations"):
            al = module["allocations"]
            lines.append(f"  allocations per block          reader {al['reader_allocs_per_block']:.2f},"
                         f" other threads {al['other_allocs_per_block']:.2f}")
    elif module:
        lines.append(f"Module: failed: {module.get('error', '')}")
    if results.get("real_rate"):
        lines.append(f"Real rate, FIFO {FIFO} bytes, S = 4096, {REAL_RATE_SECONDS} s per row from the first block")
        lines.append(f"  {'rate':>6} {'condition':<8} {'boards':>6} {'reader':<22} {'lost':>10} {'out of step':>12}"
                     f" {'CPU':>6}")
        for row in results["real_rate"]:
            lost, steps, cpu = real_rate_cells(row)
            lines.append(f"  {row['rate'] / 1e6:>4g}MB {row['condition']:<8} {row['boards']:>6} "
                         f"{READER_NAMES[row['reader']]:<22} {lost:>10} {steps:>12} {cpu:>6}")
    if results.get("recording"):
        lines += bench_recording.markdown(results["recording"], float(REAL_RATE_SECONDS))
    if results.get("lsl"):
        lines.append(lsl_line(results["lsl"]))
    lines.append("Goals (reported, not enforced)")
    for g in results["goals"]:
        lines.append(f"  [{'met' if g['met'] else 'MISSED':>6}] {g['goal']}: {g['value']}")
    return "\n".join(lines)


def markdown(results):
    """The table the README's Performance section shows, from one run."""
    m = results["machine"]
    lines = [f"Machine: {m['host']}, {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}, Python {m['python']};"
             f" {results['date']}, commit {results.get('commit', '?')}, load average at start {results.get('load_average', '?')}.", "",
             "| run | MB/s | CPU s/GB | frames contiguous |", "|---|---:|---:|---|"]
    for row in results["end_to_end"]:
        if "error" in row:
            lines.append(f"| ({row['key']}) {row['name']} | failed | | |")
        else:
            lines.append(f"| ({row['key']}) {row['name']} | {row['mb_per_s']:.0f} | {row['cpu_s_per_gb']:.2f} |"
                         f" {'yes' if row['contiguous'] else 'NO'} |")
    if results.get("real_rate"):
        lines += ["", f"Real rate: the simulated board at a real chip's rate, FIFO {FIFO} bytes, S = 4096,"
                      f" {REAL_RATE_SECONDS} s per row counted from the first block each reader received; lost is the"
                      " share of the stream the chip dropped, out of step the rows whose frame counter does not follow"
                      " the row before, CPU the whole process as a share of one core.", "",
                  "| MB/s | host | boards | reader | lost at the chip | rows out of step | CPU |",
                  "|---:|---|---:|---|---:|---:|---:|"]
        for row in results["real_rate"]:
            lost, steps, cpu = real_rate_cells(row)
            lines.append(f"| {row['rate'] / 1e6:g} | {row['condition']} | {row['boards']} |"
                         f" {READER_NAMES[row['reader']]} | {lost} | {steps} | {cpu} |")
    if results.get("recording"):
        lines += bench_recording.markdown(results["recording"], float(REAL_RATE_SECONDS))
    if results.get("lsl"):
        lines += ["", lsl_line(results["lsl"]) + "."]
    lines.append("")
    lines.append("| goal | value | |")
    lines.append("|---|---:|---|")
    for g in results["goals"]:
        lines.append(f"| {g['goal']} | {g['value']} | {'met' if g['met'] else 'missed'} |")
    return "\n".join(lines) + "\n"


def recording_only(results):
    """PYZUM_BENCH_ONLY=recording: the recording rows alone, into build/bench/recording.{json,md}."""
    rows = bench_recording.Recording(real_rate_env(40e6, 1, "module", False), BUILD, REAL_RATE_SECONDS,
                                     BENCH).table()
    results["recording"] = rows
    found = []
    bench_recording.goals(rows, lambda text, value, met: found.append({"goal": text, "value": value, "met": met}))
    results["goals"] = found
    m = results["machine"]
    text = "\n".join([f"Machine: {m['host']}, {m['cpu']}, {m['cores']} cores; {results['date']}, commit"
                      f" {results['commit']}, load average at start {results['load_average']}.",
                      *bench_recording.markdown(rows, float(REAL_RATE_SECONDS)), "",
                      *(f"- [{'met' if g['met'] else 'missed'}] {g['goal']}: {g['value']}" for g in found)])
    (BUILD / "recording.json").write_text(json.dumps(results, indent=2) + "\n")
    (BUILD / "recording.md").write_text(text + "\n")
    print(text)
    return 1 if any("error" in r for r in rows) else 0


def main():
    if not build():
        print("bench: build failed", file=sys.stderr)
        return 1
    results = {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "load_average": round(os.getloadavg()[0], 2),
        "machine": machine(),
        "commit": subprocess.run(["git", "describe", "--always", "--dirty"], cwd=REPO, capture_output=True,
                                 text=True).stdout.strip() or "unknown",
        "settings": {"samples_count": 4096, "seconds_per_run": float(SECONDS), "sim_rate": "unlimited"},
    }
    if os.environ.get("PYZUM_BENCH_ONLY") == "recording":
        return recording_only(results)
    results.update({
        "cpp": cpp_benchmarks(),
        "end_to_end": [],
    })
    py = sys.executable
    runs = [("a", "pyzum_zezudi_vu", [py, "e2e_module.py"]),
            ("b", "pylibftdi", [py, "e2e_pylibftdi.py"]),
            ("c", "ftdi1", [py, "e2e_ftdi1.py"]),
            ("d", "ftdi_read_data (C++)", [BUILD / "bench" / "ftdi_read_ceiling"])]
    runs += [("e", "pyzum_zezudi_vu, real libusb", [py, "e2e_module.py"]),
             ("f", "ftdi_read_data, real libusb", [BUILD / "bench" / "ftdi_read_ceiling"])]
    for key, name, cmd in runs:
        row = run_json(name, cmd, usbfs_env() if key in "ef" else sim_env())
        row["key"] = key
        results["end_to_end"].append(row)
    rows = {row["key"]: row for row in results["end_to_end"]}
    results["ratios"] = {
        f"{a}_over_{k}": {"mb_per_s": ratio(rows[a], rows[k], "mb_per_s"),
                          "cpu_s_per_gb": ratio(rows[a], rows[k], "cpu_s_per_gb")}
        for a, k in (("a", "b"), ("a", "c"), ("a", "d"), ("e", "f"), ("e", "a"))}
    results["module"] = run_json("module extras", [py, "module_extras.py"], sim_env(preload_counter=True))
    if os.environ.get("PYZUM_BENCH_REAL_RATE", "1") != "0":
        results["real_rate"] = real_rate_table()
        results["recording"] = bench_recording.Recording(real_rate_env(40e6, 1, "module", False), BUILD,
                                                         REAL_RATE_SECONDS, BENCH).table()
        results["lsl"] = run_json("LSL outlet", [py, "lsl_rate.py"], lsl_env())
    results["goals"] = goals(results)

    (BUILD / "results.json").write_text(json.dumps(results, indent=2) + "\n")
    (BUILD / "results.md").write_text(markdown(results))
    print()
    print(table(results))
    print(f"\nwritten to {BUILD / 'results.json'}")
    failed = [r["name"] for r in results["end_to_end"] if "error" in r]
    failed += [f"real rate {r['reader']} {r['rate'] / 1e6:g} MB/s {r['condition']} x{r['boards']}"
               for r in results.get("real_rate", []) if "error" in r]
    if results["cpp"] is None:
        failed.append("C++ benchmarks")
    if "error" in results["module"]:
        failed.append("module extras")
    failed += [f"recording {r['kind']} x{r['boards']}" for r in results.get("recording", []) if "error" in r]
    if failed:
        print("bench: no numbers from " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
