"""The stream command's LSL outlet, received by inlets in other processes over loopback.

Run as a script, this file is such an inlet: `python3 test_companion_stream.py PROP VALUE FRAMES` resolves
the stream whose PROP is VALUE, prints "receiving" once data flows, then one JSON line on what it received:
FRAMES frames, or with 0 everything until the stream falls silent (an inlet that is told at once that the
outlet went away can no longer read what it holds: this one waits for the outlet to come back instead).
`python3 test_companion_stream.py --held` pushes frames that do not fill a sample into an inlet of its own.
"""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from pyzum_zezudi_vu.lsl import FRAMES_PER_SAMPLE

pytestmark = pytest.mark.timeout(300)

RATE = 10_000_000                # stream bytes per second: every frame must reach an inlet at this rate
FRAME_RATE = RATE / 12
BOARD = f"board,rate={RATE},fifo={4 * RATE}"  # seconds of FIFO: a busy machine loses nothing on the board
WAIT = 120                       # seconds any one step may take on a loaded machine
SILENCE = 10                     # seconds without a frame that mean the stream ended


def lsl_config(tmp_path):
    """Loopback only, in a session of this test's own, quiet, with small sample reserves."""
    path = tmp_path / "lsl_api.cfg"
    path.write_text("[ports]\nIPv6 = disable\n"
                    "[multicast]\nResolveScope = machine\n"
                    f"[lab]\nKnownPeers = {{127.0.0.1}}\nSessionID = pyzum-{os.getpid()}-{tmp_path.name}\n"
                    "[tuning]\nInletBufferReserveMs = 500\n"
                    "[log]\nlevel = -3\n")
    return str(path)


def start_outlet(config, *args):
    env = dict(os.environ, PCB_ROQ_SIM=BOARD, LSLAPICFG=config)
    return subprocess.Popen([sys.executable, "-m", "pyzum_zezudi_vu", "stream", "--json", *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def start_inlet(config, prop, value, frames):
    env = dict(os.environ, LSLAPICFG=config)
    return subprocess.Popen([sys.executable, __file__, prop, value, str(frames)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_until_receiving(inlet):
    line = inlet.stdout.readline()  # the child ends by itself if it finds nothing: no deadline needed here
    assert line.strip() == "receiving", line + inlet.stderr.read()


def result(process):
    out, err = process.communicate(timeout=WAIT)
    assert process.returncode in (0, 130), f"exit {process.returncode}: {err}"
    return json.loads(out[out.index("{"):])  # after the inlet's "receiving"


def assert_whole(received, step=1):
    assert received["frames"] > 0
    assert received["counter_gaps"] == 0, "frames missing or out of order"
    assert received["stamps_not_increasing"] == 0
    assert received["last"] - received["first"] == step * (received["frames"] - 1)


def assert_on_the_boards_clock(received):
    """The stamps run at the board's rate, lie on one line, and keep up with when the frames came in."""
    # Under a sanitizer on a loaded machine the outlet falls behind for whole windows, which its clock takes for
    # frames lost on the board and follows with a step: the rate over a half-second visit is the plain builds'.
    if os.environ.get("PYZUM_SANITIZED") != "1":
        assert received["frames_per_s"] == pytest.approx(FRAME_RATE, rel=0.02)
    assert received["most_off_line_s"] < 0.1
    assert received["most_ahead_s"] < 0.02, "frames stamped later than they were received"
    assert received["median_behind_s"] < 1.0, "the stamps lag behind the frames"
    assert 0 <= received["first_stamp_age_s"] < WAIT, "the first frames were stamped near zero"


def test_inlets_elsewhere_get_every_frame_in_order_and_the_end_of_the_stream(tmp_path):
    config = lsl_config(tmp_path)
    outlet = start_outlet(config)
    steady = coming_and_going = None
    try:
        steady = start_inlet(config, "type", "PCB_ROQ", 0)
        wait_until_receiving(steady)
        for _ in range(2):  # an inlet comes, takes its share and goes, twice, while the first one reads on
            coming_and_going = start_inlet(config, "name", "PCB_ROQ SIM0001", 400_000)
            visit = result(coming_and_going)  # joins mid-stream, often within a block
            assert_whole(visit)
            assert visit["frames"] == 400_000
            assert_on_the_boards_clock(visit)
        outlet.send_signal(signal.SIGINT)
        summary = result(outlet)
        whole = result(steady)
    finally:
        for process in (outlet, steady, coming_and_going):
            if process is not None and process.poll() is None:
                process.kill()
                process.communicate()

    assert summary["exit_status"] == 130 and summary["whole"], summary["problems"]
    stream = summary["stream"]
    assert stream["frames_pushed"] == summary["frames"]
    assert whole["still_listed"] == 0, "the stream is still offered after it ended"
    assert_whole(whole)
    assert_on_the_boards_clock(whole)
    assert whole["last"] == stream["last_frame_counter"], "the last frames pushed did not arrive"

    info = whole["info"]
    assert (info["name"], info["type"], info["source_id"]) == ("PCB_ROQ SIM0001", "PCB_ROQ", "SIM0001")
    # five int16 channels per frame, FRAMES_PER_SAMPLE frames to a sample
    assert (info["channels"], info["format"]) == (5 * FRAMES_PER_SAMPLE, 5)
    # no rate given: the one measured, said to be so; a second of arrivals on a loaded machine tells it to a few
    # per cent (seen: 2.1 % beside a test run and two CPU-bound processes)
    assert stream["board_rate_source"] == "measured"
    assert info["rate"] == pytest.approx(FRAME_RATE / FRAMES_PER_SAMPLE, rel=0.05)
    assert "<board_rate_source>measured</board_rate_source>" in info["xml"]
    for text in ("<label>frame_counter_low_0</label>", "<label>frame_counter_high_0</label>",
                 f"<label>word4_{FRAMES_PER_SAMPLE - 1}</label>", f"<frames_per_sample>{FRAMES_PER_SAMPLE}<",
                 "<software>pyzum_zezudi_vu</software>", "<version>"):
        assert text in info["xml"]
    assert "<every>" not in info["xml"]


def test_every_nth_frame_keeps_its_step_across_blocks(tmp_path):
    config = lsl_config(tmp_path)
    # Blocks of 1000 frames, every third pushed: a block does not end on a pushed frame.
    outlet = start_outlet(config, "--every", "3", "--samples-count", "1000", "--name", "decimated",
                          "--rate-hz", repr(FRAME_RATE))
    try:
        inlet = start_inlet(config, "name", "decimated", 100_000)
        received = result(inlet)
        outlet.send_signal(signal.SIGINT)
        result(outlet)
    finally:
        for process in (outlet, inlet):
            if process.poll() is None:
                process.kill()
                process.communicate()
    assert_whole(received, step=3)
    assert received["info"]["rate"] == pytest.approx(FRAME_RATE / 3 / FRAMES_PER_SAMPLE)
    assert "<every>3</every>" in received["info"]["xml"]
    assert "<board_rate_source>declared</board_rate_source>" in received["info"]["xml"]


def _arrivals(board_rate, blocks=1500, rows=16384, stall_at=None, lost_at=None, seed=7):
    """(frames so far, arrival, when the block's last frame was taken) of a board whose blocks come 1 ms
    plus a random latency late; a stall holds them up 0.3 s (then they come at 3 times the pace), lost
    frames shift the rest 0.3 s."""
    import numpy as np

    latency = 0.001 + np.random.default_rng(seed).exponential(0.002, blocks)
    out, held_up, shift = [], 0.0, 0.0
    for i in range(blocks):
        shift += 0.3 if i == lost_at else 0.0
        taken = 1000.0 + (i + 1) * rows / board_rate + shift
        arrival = taken + latency[i]
        held_up = arrival + 0.3 if i == stall_at else held_up
        if arrival < held_up:
            arrival, held_up = held_up, held_up + rows / board_rate / 3
        out.append(((i + 1) * rows, arrival, taken))
    return out


@pytest.mark.parametrize("given, stall_at, lost_at", [(None, None, None), (None, 600, None),
                                                      (4 * 833_333.3, None, None), (None, None, 600),
                                                      (833_333.3, 1, None)],
                         ids=["measured", "a-stall", "a-wrong-rate-given", "frames-lost",
                              "a-backlog-behind-the-first-block"])
def test_stamps_follow_the_board_without_stepping_back_or_lasting_offset(given, stall_at, lost_at):
    from pyzum_zezudi_vu.sinks.board_clock import MIN_FIT_S, SLEW, BoardClock

    board_rate, rows = 833_333.3, 16384
    clock, errors, last, waiting = BoardClock(given), [], None, []
    for frames, arrival, taken in _arrivals(board_rate, rows=rows, stall_at=stall_at, lost_at=lost_at):
        clock.observe(frames, arrival)
        waiting.append((frames, taken))
        if given is None and clock.measured_span < MIN_FIT_S:
            continue  # as the outlet does: the first second's blocks wait for the rate
        for frames_, taken_ in waiting:
            stamps = clock.stamps(frames_ - rows, rows)
            assert last is None or stamps.first > last, "a block's stamps stepped back"
            assert stamps.interval > 0
            if given == board_rate:  # a rate declared right is kept, whatever the arrivals' burst
                assert stamps.interval * board_rate == pytest.approx(1, abs=SLEW * 1.001), clock.rate_hz
            last = stamps.at(rows - 1)
            errors.append(last - taken_)
        waiting = []
    errors = [abs(e) * 1e3 for e in errors]
    # lost frames tilt the fit a little until it forgets them
    assert clock.fitted_rate_hz == pytest.approx(board_rate, rel=1e-3 if lost_at is None else 3e-3)
    # the latency's least (1 ms) and a little: never the stall's, the wrong rate's or the lost frames'
    assert max(errors[-500:]) < 3
    if lost_at is None and given is None:
        assert max(errors) < 3
        assert clock.jumps == 0


@pytest.mark.timeout(6 * WAIT)
def test_frames_held_for_a_whole_sample_go_out_with_the_next_push_at_their_own_stamps(tmp_path):
    env = dict(os.environ, LSLAPICFG=lsl_config(tmp_path))
    try:
        # The child waits up to WAIT for each of its steps: resolving, opening, receiving.
        done = subprocess.run([sys.executable, __file__, "--held"], env=env, capture_output=True, text=True,
                              timeout=4 * WAIT)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the outlet and inlet process hung; its last steps: {e.stderr}")
    assert done.returncode == 0, done.stderr
    received = json.loads(done.stdout)
    assert received["held"] == [2, 1]
    assert received["counters"] == list(range(16))  # 10 + 7 pushed: 4 samples of 4 sent, 1 frame held
    # every frame at its own stamp, the frames held from the first push (8, 9) too
    assert received["stamps"] == pytest.approx([100 + i / 1000 for i in range(16)], abs=1e-9)


def step(what):
    print(f"{time.monotonic():.1f} {what}", file=sys.stderr, flush=True)


def _held(per_sample=4):
    """Pushes 10 and then 7 frames (counter 0..16) at 1000 Hz, 4 to a sample, into an inlet of its own."""
    import numpy as np

    from pyzum_zezudi_vu import frame_indices, lsl

    with lsl.StreamInfo("held", "PCB_ROQ", 5, 1000.0, "held-test") as info, \
            lsl.StreamOutlet(info, 2, frames_per_sample=per_sample) as outlet:
        found = []
        deadline = time.monotonic() + WAIT
        step("resolving")
        while not found and time.monotonic() < deadline:
            found = lsl.resolve("name", "held", timeout=5.0)
        assert found, "the outlet was never resolved"
        with lsl.StreamInlet(found[0]) as inlet:
            for f in found:
                f.close()
            step("opening")
            inlet.open(timeout=WAIT)
            step("receiving")
            deadline = time.monotonic() + WAIT
            frames = np.zeros((17, 5), np.int16)
            frames[:, 0] = np.arange(17)
            held = []
            outlet.push_chunk(frames[:10], 100 + np.arange(10) / 1000)
            held.append(outlet.held)
            outlet.push_chunk(frames[10:], 100.010 + np.arange(7) / 1000)
            held.append(outlet.held)
            rows, stamps = np.empty((64, 5), np.int16), np.empty(64)
            got = 0
            while got < 16 and time.monotonic() < deadline:
                got += inlet.pull_chunk(rows[got:], stamps[got:], timeout=1.0)
        step(f"received {got}; closing")
    print(json.dumps({"held": held, "counters": frame_indices(rows[:got]).tolist(),
                      "stamps": stamps[:got].tolist()}))


def test_liblsl_configuration_keeps_the_users_keys():
    from pyzum_zezudi_vu.lsl import with_defaults

    users = "[lab]\nKnownPeers = {10.0.0.2}\n[tuning]\n; a comment = no key\nOutletBufferReserveMs = 50\n"
    merged = with_defaults(users, "tuning", {"OutletBufferReserveMs": 500, "InletBufferReserveMs": 500})
    assert "OutletBufferReserveMs = 50" in merged and "OutletBufferReserveMs = 500" not in merged
    assert "InletBufferReserveMs = 500" in merged and "KnownPeers = {10.0.0.2}" in merged
    assert with_defaults("", "tuning", {"A": 1}) == "[tuning]\nA = 1\n"


def _receive(prop, value, frames):
    """The inlet: resolves, reads and checks the frame counter and stamps as it goes."""
    import numpy as np

    from pyzum_zezudi_vu import frame_indices, lsl

    deadline = time.monotonic() + WAIT
    infos = []
    while not infos and time.monotonic() < deadline:
        infos = lsl.resolve(prop, value, timeout=5.0)
    if not infos:
        sys.exit(f"no stream whose {prop} is {value!r}")
    with lsl.StreamInlet(infos[0], buffered_seconds=20, recover=frames == 0) as inlet:
        for found in infos:
            found.close()
        with inlet.full_info(timeout=WAIT) as full:
            info = {"name": full.name, "type": full.type, "source_id": full.source_id,
                    "channels": full.channel_count, "format": full.channel_format, "rate": full.nominal_rate,
                    "xml": full.xml()}
        inlet.open(timeout=WAIT)
        rows, stamps = np.empty((65536, 5), np.int16), np.empty(65536)
        got, first, last, last_stamp, gaps, back = 0, None, None, None, 0, 0
        step = None
        sampled, ahead, behind, first_age = [], [], [], None  # the stamps against the board and this clock
        while frames == 0 or got < frames:
            room = min(len(rows), frames - got) if frames else len(rows)
            n = inlet.pull_chunk(rows[:room], stamps[:room], timeout=SILENCE if frames == 0 and got else WAIT)
            now = lsl.local_clock()
            if n == 0:
                break
            if got == 0:
                print("receiving", flush=True)
                first_age = now - float(stamps[0])
            ahead.append(float(stamps[n - 1]) - now)
            behind.append(now - float(stamps[n - 1]))
            sampled += zip(frame_indices(rows[:n:997]).tolist(), stamps[:n:997].tolist())
            counters = frame_indices(rows[:n]).astype(np.int64)
            chain = counters if last is None else np.concatenate(([last], counters))
            steps = np.diff(chain)
            if step is None and len(steps):
                step = int(steps[0])
            gaps += int(np.count_nonzero(steps != step)) if step else 0
            times = stamps[:n] if last_stamp is None else np.concatenate(([last_stamp], stamps[:n]))
            back += int(np.count_nonzero(np.diff(times) <= 0))
            first = int(counters[0]) if first is None else first
            last, last_stamp = int(counters[-1]), float(stamps[n - 1])
            got += n
    still_listed = 0
    if frames == 0:
        listed = lsl.resolve(prop, value, timeout=2.0)
        still_listed = len(listed)
        for found in listed:
            found.close()
    timing = {}
    if len(sampled) > 2:
        counters, times = np.array(sampled, np.float64).T
        slope, height = np.polyfit(counters - counters[0], times, 1)
        timing = {"frames_per_s": 1 / slope, "most_off_line_s": float(np.max(np.abs(
                      times - (height + slope * (counters - counters[0]))))),
                  "most_ahead_s": max(ahead), "median_behind_s": float(np.median(behind)),
                  "first_stamp_age_s": first_age}
    print(json.dumps({"info": info, "frames": got, "first": first, "last": last, "counter_gaps": gaps,
                      "stamps_not_increasing": back, "still_listed": still_listed, **timing}), flush=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["--held"]:
        _held()
    else:
        _receive(sys.argv[1], sys.argv[2], int(sys.argv[3]))
