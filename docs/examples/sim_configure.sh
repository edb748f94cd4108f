# A slow board, a board that starts paused and an FTDI cable that is no board:
export PCB_ROQ_SIM='serial=SLOW,rate=1e6;serial=QUIET,paused;manufacturer=FTDI,product=TTL232R,pid=0x6001'
python3 -m pyzum_zezudi_vu list                            # SLOW and QUIET
python3 -m pyzum_zezudi_vu capture --serial SLOW --blocks 4
python3 -m pyzum_zezudi_vu capture --serial QUIET --blocks 1 --timeout 0.5 || echo "exit status $?"
