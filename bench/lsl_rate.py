"""The highest board rate whose every frame reaches one LSL inlet on this machine, and the CPU it costs.

Runs `python3 -m pyzum_zezudi_vu stream` on a simulated board (the chip's FIFO, as on hardware) at rising
rates, each for PYZUM_BENCH_SECONDS (10 s), with one inlet in another process on loopback; a rate passes when
the board lost nothing and the inlet received every frame from its first to the last one pushed, in order.
Stops at the first rate that fails. Then, with bench/lsl_floor.c (built here with cc): liblsl's own cost for
the same chunks pushed from C at 40 MB/s, frame by frame and as the outlet packs them ("floor"), and a
recorder's inlet made with liblsl's defaults (a buffer of 360 s, no [tuning]) against the stream command at
40 MB/s: what it received and its peak resident memory ("recorder"). Prints one JSON line. Needs the
simulator preloaded (tools/devroot run --sim, or the environment tools/run_bench.py gives its runs).

As a child, `lsl_rate.py --inlet CONFIG NAME` is the inlet.
"""
import json
import os
import pathlib
import resource
import signal
import subprocess
import sys
import tempfile
import time

RATES_MB_S = (5, 10, 15, 20, 25, 30, 35, 40)
SECONDS = float(os.environ.get("PYZUM_BENCH_SECONDS", "10"))
FIFO = int(os.environ.get("PYZUM_LSL_BENCH_FIFO", "1024"))  # the FT232H's, as the real-rate runs take it
SILENCE = 5.0   # seconds without a frame that end the inlet's run
WAIT = 120.0    # seconds for any one step on a loaded machine


def write_config(directory, tuning="[tuning]\nInletBufferReserveMs = 500\n", name="lsl_api.cfg"):
    path = pathlib.Path(directory) / name
    path.write_text("[ports]\nIPv6 = disable\n[multicast]\nResolveScope = machine\n"
                    f"[lab]\nKnownPeers = {{127.0.0.1}}\nSessionID = pyzum-bench-{os.getpid()}\n"
                    f"{tuning}[log]\nlevel = -3\n")
    return str(path)


FLOOR_SOURCE = pathlib.Path(__file__).with_name("lsl_floor.c")
FLOOR_RATE = 40e6 / 12


def build_floor(directory):
    program = str(pathlib.Path(directory) / "lsl_floor")
    subprocess.run(["cc", "-O2", "-o", program, str(FLOOR_SOURCE), "-llsl"], check=True)
    return program


def last_json(text):
    return json.loads(text[text.rindex("{"):])


def floor(program, config, per_sample):
    """liblsl alone: the C outlet pushing blocks of 16384 frames at 40 MB/s to the C inlet (10 s buffer)."""
    env = dict(os.environ, LSLAPICFG=config)
    name = f"floor {per_sample}"
    inlet = subprocess.Popen([program, "inlet", name, "10"], env=env, stdout=subprocess.PIPE, text=True)
    outlet = subprocess.run([program, "outlet", name, repr(SECONDS), repr(FLOOR_RATE), str(per_sample),
                             "16384", "0"], env=env, stdout=subprocess.PIPE, text=True, timeout=WAIT)
    received = last_json(inlet.communicate(timeout=WAIT)[0])
    pushed = last_json(outlet.stdout)
    # CPU per second of stream (the outlet paces itself at the board's rate)
    stream_s = pushed["frames"] / FLOOR_RATE
    return {"frames_per_sample": per_sample, "frames": pushed["frames"], "received": received["frames"],
            "gaps": received["gaps"], "outlet_cpu_share": round(pushed["cpu_s"] / stream_s, 3),
            "inlet_cpu_share": round(received["cpu_s"] / stream_s, 3)}


def recorder(program, directory):
    """A recorder's inlet with liblsl's defaults against the stream command at 40 MB/s."""
    config = write_config(directory, tuning="", name="recorder.cfg")
    env = dict(os.environ, LSLAPICFG=config, PCB_ROQ_SIM=f"board,rate=40e6,fifo={FIFO}")
    inlet = subprocess.Popen([program, "inlet", "recorded"], env=env, stdout=subprocess.PIPE, text=True)
    outlet = subprocess.run([sys.executable, "-m", "pyzum_zezudi_vu", "stream", "--json", "--name", "recorded",
                             "--seconds", repr(SECONDS)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, timeout=WAIT + SECONDS)
    received = last_json(inlet.communicate(timeout=WAIT)[0])
    summary = json.loads(outlet.stdout[outlet.stdout.index("{"):])
    return {"buflen_s": received["buflen_s"], "frames_pushed": summary["stream"]["frames_pushed"],
            "frames_received": received["frames"], "gaps": received["gaps"],
            "missing_at_end": summary["stream"].get("last_frame_counter", 0) - received["last"],
            "peak_rss_mb": received["peak_rss_mb"]}


def one_rate(mb_s, config):
    name = f"bench {mb_s} MB/s"
    env = dict(os.environ, LSLAPICFG=config, PCB_ROQ_SIM=f"board,rate={mb_s * 1e6:g},fifo={FIFO}")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    outlet = subprocess.Popen([sys.executable, "-m", "pyzum_zezudi_vu", "stream", "--json", "--name", name,
                               "--rate-hz", repr(mb_s * 1e6 / 12)], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    inlet = subprocess.Popen([sys.executable, __file__, "--inlet", name], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        started = inlet.stdout.readline().strip() == "receiving"
        if started:
            time.sleep(SECONDS)
        outlet.send_signal(signal.SIGINT)
        out, err = outlet.communicate(timeout=WAIT)
        received_text, inlet_err = inlet.communicate(timeout=WAIT)
    finally:
        for process in (outlet, inlet):
            if process.poll() is None:
                process.kill()
                process.communicate()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    try:
        summary = json.loads(out[out.index("{"):])
        received = json.loads(received_text[received_text.index("{"):])
    except ValueError:
        return {"mb_s": mb_s, "error": (err + inlet_err).strip()[-300:]}
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    seconds = summary["seconds"]  # how long the board streamed: both processes' work follows it
    last = summary["stream"].get("last_frame_counter")
    whole = (summary["whole"] and received["gaps"] == 0 and received["frames"] > 0
             and received["last"] == last)
    return {"mb_s": mb_s, "whole": whole, "board_whole": summary["whole"], "problems": summary["problems"],
            "frames_pushed": summary["stream"]["frames_pushed"], "frames_received": received["frames"],
            "inlet_gaps": received["gaps"], "missing_at_end": None if last is None else last - received["last"],
            "outlet_cpu_share": round((cpu - received["cpu_s"]) / seconds, 3),
            "inlet_cpu_share": round(received["cpu_s"] / seconds, 3)}


def inlet(name):
    import numpy as np

    from pyzum_zezudi_vu import frame_indices, lsl

    deadline = time.monotonic() + WAIT
    infos = []
    while not infos and time.monotonic() < deadline:
        infos = lsl.resolve("name", name, timeout=5.0)
    if not infos:
        sys.exit(f"no stream named {name!r}")
    begin = time.process_time()
    frames, gaps, last = 0, 0, None
    # recover: an inlet told that its outlet went away can no longer read what it still holds
    with lsl.StreamInlet(infos[0], buffered_seconds=10, recover=True) as reader:
        infos[0].close()
        reader.open(timeout=WAIT)
        rows, stamps = np.empty((65536, 5), np.int16), np.empty(65536)
        while True:
            n = reader.pull_chunk(rows, stamps, timeout=SILENCE if frames else WAIT)
            if n == 0:
                break
            if frames == 0:
                print("receiving", flush=True)
            counters = frame_indices(rows[:n]).astype(np.int64)
            chain = counters if last is None else np.concatenate(([last], counters))
            gaps += int(np.count_nonzero(np.diff(chain) != 1))
            last = int(counters[-1])
            frames += n
    print(json.dumps({"frames": frames, "gaps": gaps, "last": last, "cpu_s": time.process_time() - begin}),
          flush=True)


def main():
    from pyzum_zezudi_vu import lsl

    rows = []
    with tempfile.TemporaryDirectory() as directory:
        config = write_config(directory)
        for mb_s in RATES_MB_S:
            row = one_rate(mb_s, config)
            rows.append(row)
            print(f"  {mb_s} MB/s: {'every frame' if row.get('whole') else 'NOT whole'} "
                  f"{ {k: v for k, v in row.items() if k != 'mb_s'} }", file=sys.stderr, flush=True)
            if not row.get("whole"):
                break
        program = build_floor(directory)
        floors = [floor(program, config, per_sample) for per_sample in (1, lsl.FRAMES_PER_SAMPLE)]
        print(f"  liblsl alone at 40 MB/s: {floors}", file=sys.stderr, flush=True)
        recorded = recorder(program, directory)
        print(f"  a recorder's inlet with liblsl's defaults: {recorded}", file=sys.stderr, flush=True)
    whole = [row["mb_s"] for row in rows if row.get("whole")]
    best = next((row for row in reversed(rows) if row.get("whole")), None)
    print(json.dumps({"name": "LSL outlet, one inlet on loopback", "seconds_per_rate": SECONDS, "fifo": FIFO,
                      "frames_per_sample": lsl.FRAMES_PER_SAMPLE,
                      "highest_whole_mb_s": max(whole) if whole else 0,
                      "outlet_cpu_share": best["outlet_cpu_share"] if best else None,
                      "inlet_cpu_share": best["inlet_cpu_share"] if best else None,
                      "rows": rows, "floor": floors, "recorder": recorded}))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--inlet":
        inlet(sys.argv[2])
    else:
        main()
