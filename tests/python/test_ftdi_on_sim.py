"""Board discovery and opening from Python, on the simulated bus."""
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import _pyzum_zezudi_vu as m
import pcb_roq_sim

NULL_CONTEXT = "Can't call libftdi function, ctx handle is null"


class TestListing:
    def test_default_bus_has_one_board(self, sim):
        assert m.list_pcb_roq() == ["SIM0001"]

    def test_empty_bus_lists_nothing(self, sim):
        sim.configure("")
        assert m.list_pcb_roq() == []

    def test_boards_in_bus_order_without_other_devices(self, sim):
        sim.configure("serial=B2;manufacturer=ACME,serial=X;serial=A1;product=OTHER,serial=Y;pid=0x6010,serial=C3")
        assert m.list_pcb_roq() == ["B2", "A1", "C3"]

    def test_strings_that_begin_with_the_texts_match(self, sim):
        sim.configure("manufacturer=ZUM Labs,product=PCB_ROQ-2,serial=LONG;manufacturer=ZU,serial=NO")
        assert m.list_pcb_roq() == ["LONG"]

    def test_board_without_serial_is_listed_as_empty(self, sim):
        sim.configure("noserial;serial=S")
        assert m.list_pcb_roq() == ["", "S"]

    def test_unplugged_board_leaves_the_list_until_replugged(self, sim):
        sim.configure("serial=A;serial=B")
        sim.device("A").unplug()
        assert m.list_pcb_roq() == ["B"]
        sim.device("A").replug()
        assert m.list_pcb_roq() == ["A", "B"]

    def test_no_libusb_means_an_empty_list(self, sim):
        sim.fail_init()
        assert m.list_pcb_roq() == []

    def test_threads_list_at_once(self, sim):
        sim.configure("serial=A;serial=B")
        results = []

        def worker():
            for _ in range(20):
                results.append(m.list_pcb_roq())

        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == [["A", "B"]] * 80


class TestOpening:
    def test_chip_is_configured_for_the_board(self, sim):
        board = m.PCB_ROQ("SIM0001")
        assert board.opened()
        s = sim.device(0).stats
        assert (s.claimed_interface, s.bit_mode, s.bit_mask, s.latency_timer) == (0, 0x40, 0xFF, 255)
        del board

    def test_serial_prefix_opens_the_first_match(self, sim):
        sim.configure("serial=ABC1;serial=AB")
        board = m.PCB_ROQ("AB")
        assert board.opened()
        assert board.serial_number() == "AB"
        assert sim.device("ABC1").stats.bit_mode == 0x40
        assert sim.device("AB").stats.opens == 0  # the search stopped at the first match
        del board

    def test_serial_of_128_characters_or_more_matches_nothing(self, sim):
        sim.configure("serial=" + "S" * 100)
        assert m.PCB_ROQ("S" * 100).opened()
        assert not m.PCB_ROQ("S" * 128).opened()

    def test_empty_serial_opens_the_first_ftdi_device(self, sim):
        sim.configure("vid=0x1234,serial=X;manufacturer=ACME,product=THING,pid=0x6001,serial=FIRST;board")
        board = m.PCB_ROQ("")
        assert board.opened()
        assert sim.device(1).stats.bit_mode == 0x40
        del board

    def test_missing_board_gives_an_unopened_object(self, sim):
        sim.configure("")
        assert not m.PCB_ROQ("SIM0001").opened()

    def test_refused_open_gives_an_unopened_object(self, sim):
        sim.device(0).refuse_open()
        assert not m.PCB_ROQ("").opened()
        assert sim.device(0).stats.open_refusals >= 1

    def test_no_libusb_raises_the_null_context_error(self, sim):
        sim.fail_init()
        with pytest.raises(RuntimeError) as error:
            m.PCB_ROQ("SIM0001")
        assert str(error.value) == NULL_CONTEXT

    def test_board_is_closed_and_its_context_freed_once(self, sim):
        board = m.PCB_ROQ("SIM0001")
        assert sim.stats.live_contexts == 1
        del board
        assert sim.leaks() == []
        assert sim.stats.exits == sim.stats.inits


class TestSimulatorWrapper:
    def test_pattern_bytes_follow_the_frame_layout(self, sim):
        frame = pcb_roq_sim.pattern_frame(0x12345)
        assert frame[:2] == b"\xf0\x0f"
        assert frame[2:6] == bytes([0x45, 0x23, 0x01, 0x00])
        assert pcb_roq_sim.pattern_bytes(6, 12) == pcb_roq_sim.pattern_frame(0)[6:] + pcb_roq_sim.pattern_frame(1)[:6]

    def test_bad_configuration_raises_with_the_reason(self, sim):
        with pytest.raises(pcb_roq_sim.SimulatorError, match="colour"):
            sim.configure("colour=red")
        assert len(sim) == 1

    def test_leaks_name_what_is_left_open(self, sim):
        board = m.PCB_ROQ("SIM0001")
        leaks = sim.leaks()
        assert "live_handles = 1" in leaks
        assert any(line.startswith("device 0:") and "opens but" in line for line in leaks)
        del board

    def test_without_preload_the_wrapper_says_how_to_load_it(self):
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        sim_dir = pathlib.Path(__file__).resolve().parents[2] / "sim"
        result = subprocess.run(
            [sys.executable, "-c", "import pcb_roq_sim; pcb_roq_sim.Simulator()"],
            env=dict(env, PYTHONPATH=str(sim_dir)), capture_output=True, text=True, timeout=60)
        assert result.returncode != 0
        assert "SimulatorNotLoaded" in result.stderr
        assert "LD_PRELOAD=" in result.stderr


def run_with_environment(code, **variables):
    """Runs `code` in a fresh interpreter that preloads the simulator with the given variables set."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PCB_ROQ_SIM")}
    env.update(variables)
    sim_dir = pathlib.Path(__file__).resolve().parents[2] / "sim"
    env["PYTHONPATH"] = os.pathsep.join([env.get("PYTHONPATH", ""), str(sim_dir)])
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


LIST = "import _pyzum_zezudi_vu as m; print(m.list_pcb_roq())"


@pytest.mark.usefixtures("sim")
class TestEnvironment:
    def test_unset_means_one_default_board(self):
        assert run_with_environment(LIST).stdout.strip() == "['SIM0001']"

    def test_devices_come_from_the_variable(self):
        result = run_with_environment(LIST, PCB_ROQ_SIM="serial=A; serial=B,rate=1e6 ;manufacturer=FTDI")
        assert result.stdout.strip() == "['A', 'B']"

    def test_empty_variable_means_an_empty_bus(self):
        assert run_with_environment(LIST, PCB_ROQ_SIM="").stdout.strip() == "[]"

    def test_malformed_variable_says_so_and_leaves_the_bus_empty(self):
        result = run_with_environment(LIST, PCB_ROQ_SIM="serial=A,colour=red")
        assert result.stdout.strip() == "[]"
        assert "PCB_ROQ_SIM" in result.stderr and "colour" in result.stderr

    def test_latency_scale_comes_from_its_variable(self):
        code = "import pcb_roq_sim; print(pcb_roq_sim.Simulator().latency_scale)"
        assert run_with_environment(code, PCB_ROQ_SIM_LATENCY_SCALE="0.25").stdout.strip() == "0.25"
