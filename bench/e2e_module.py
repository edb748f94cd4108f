"""(a) This module: one Python thread reading `samples` from the simulated board."""
import _pyzum_zezudi_vu as m

from e2e_common import SAMPLES_COUNT, SERIAL, Meter, unlimited_rate, warm_up_then_measure


def main():
    unlimited_rate()
    board = m.PCB_ROQ(SERIAL, SAMPLES_COUNT)
    if not board.opened():
        raise SystemExit(f"{SERIAL} did not open")
    board.timeout = 2.0
    board.start()

    def read_one():
        block = board.samples
        if block is None:
            raise SystemExit("no block within 2 s")
        return (block,)

    meter = warm_up_then_measure(read_one, Meter())
    board.stop()
    meter.report("pyzum_zezudi_vu")


main()
