"""python3 -m pyzum_zezudi_vu doctor on the emulated usbfs: each situation a user meets with a new board gives its
verdict, the thing to do and the exit status."""
import json

import pytest

import _pyzum_zezudi_vu
from pyzum_zezudi_vu import doctor
from pyzum_zezudi_vu.cli import main

# A rate the emulated kernel keeps up with on a loaded machine, and a FIFO of two seconds: the emulated ioctls
# (100-200 us each) between the purge and the first queued transfer can overflow the chip's own 1 KiB at the
# start of a run, and the stream test would rightly report the frames lost there.
BOARD = "board,rate=2e6,fifo=4000000"


@pytest.fixture
def usbfs(sim):
    if sim.front_end != "usbfs":
        pytest.skip("doctor reads sysfs: the usbfs front end shows the devices there")
    yield sim
    sim.set_urb_memory_limit(0)


def findings(capsys):
    """{check: [(verdict, text, advice)]} from doctor's lines."""
    out = {}
    last = None
    for line in capsys.readouterr().out.splitlines():
        verdict, check, text = line[:8].strip(), line[9:22].strip(), line[23:]
        if not verdict:
            assert text.startswith("to do: ") and last is not None, line
            last[2] = text[len("to do: "):]
            continue
        last = [verdict, text, None]
        out.setdefault(check, []).append(last)
    return out


class TestDoctor:
    def test_a_clean_board_passes_every_check_and_its_stream(self, usbfs, capsys):
        usbfs.configure(BOARD)
        assert main(["doctor", "--seconds", "0.3"]) == 0
        seen = findings(capsys)
        assert {check: [v for v, _, _ in lines] for check, lines in seen.items()} == {
            "device": ["ok"], "speed": ["ok"], "permission": ["ok"], "usbfs memory": ["ok"], "versions": ["ok"],
            "stream": ["ok"]}
        assert "arrived whole" in seen["stream"][0][1]

    def test_json_carries_the_same_checks(self, usbfs, capsys):
        usbfs.configure(BOARD)
        assert main(["doctor", "--seconds", "0.3", "--json"]) == 0
        report = json.loads(capsys.readouterr().out)
        assert report["verdict"] == "ok" and report["exit_status"] == 0
        stream = [c for c in report["checks"] if c["check"] == "stream"]
        assert stream[0]["details"]["whole"] and stream[0]["details"]["frames"] > 0

    @pytest.mark.parametrize("spec, check, verdict, advice, status", [
        ("board,refuse", "permission", "problem", doctor.INSTALL_RULE, 2),
        (BOARD + ",speed=full", "speed", "warning", "USB 2.0 (high-speed) port", 1),
        ("board,manufacturer=FTDI,product=Single RS232-HS", "device", "warning", "ftdi_eeprom", 2),
        (BOARD + ",driver=ftdi_sio", "driver", "ok", None, 0),
    ], ids=["may-not-open", "full-speed", "unprogrammed", "kernel-driver"])
    def test_a_situation_gives_its_verdict_and_what_to_do(self, usbfs, capsys, spec, check, verdict, advice,
                                                          status):
        usbfs.configure(spec)
        assert main(["doctor", "--seconds", "0.3"]) == status
        (got,) = findings(capsys)[check]
        assert got[0] == verdict, got
        assert (advice is None and got[2] is None) or advice in got[2], got

    def test_a_device_held_by_another_program_names_it(self, usbfs, capsys):
        usbfs.configure(BOARD)
        held = _pyzum_zezudi_vu.PCB_ROQ("SIM0001")
        try:
            assert held.opened()
            assert main(["doctor", "--seconds", "0.3"]) == 2
        finally:
            del held
        seen = findings(capsys)
        (busy,) = seen["busy"]
        assert busy[0] == "problem" and "this process" in busy[1] and "close the board" in busy[2]
        assert "stream" not in seen, "a busy board is not streamed from"

    def test_too_little_usbfs_memory_for_the_boards_present(self, usbfs, capsys):
        usbfs.configure(f"{BOARD};{BOARD}")
        usbfs.set_urb_memory_limit(3 << 20)
        assert main(["doctor", "--seconds", "0.3", "--serial", "SIM0001"]) == 2
        (memory,) = findings(capsys)["usbfs memory"]
        assert memory[0] == "problem" and "2 present" in memory[1] and "usbfs_memory_mb" in memory[2]

    def test_no_board_is_one_line(self, usbfs, capsys):
        usbfs.configure("")
        assert main(["doctor"]) == 2
        (line,) = capsys.readouterr().out.splitlines()
        assert line.startswith("problem") and "no FTDI device" in line

    def test_a_simulated_board_without_sysfs_is_still_streamed_from(self, sim, capsys):
        if sim.front_end == "usbfs":
            pytest.skip("the libusb stand-in's boards are not in sysfs")
        sim.configure(BOARD)
        assert main(["doctor", "--seconds", "0.3"]) == 0
        seen = findings(capsys)
        assert "not in /sys/bus/usb/devices" in seen["device"][0][1]
        assert seen["stream"][0][0] == "ok"
