"""(a) This module: one Python thread reading `samples` from the simulated board."""
from e2e_common import Meter, open_module_board, warm_up_then_measure


def main():
    board = open_module_board()
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
