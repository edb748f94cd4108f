from pcb_roq_sim import Simulator

from pyzum_zezudi_vu import open_board

sim = Simulator()
sim.configure("serial=SIM0001,rate=unlimited")  # writes as fast as it is read: nothing before the first read
sim.device("SIM0001").drop_bytes([100_005])     # one byte of the stream never reaches the host
with open_board("SIM0001") as board:
    before = board.health()
    for block in board.blocks(count=10):
        pass
    run = board.health().since(before)
print(run.problems())                        # ['... bytes skipped realigning the stream (1 times out of step)']
assert not run.whole
