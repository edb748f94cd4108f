# Two simulated boards, A and B, at 4 MB/s each: a real bus lists its boards by itself.
export PCB_ROQ_SIM='serial=A,rate=4e6;serial=B,rate=4e6'
python3 -m pyzum_zezudi_vu list
python3 -m pyzum_zezudi_vu capture --serial A --serial B --seconds 2 --out two.h5
python3 -m pyzum_zezudi_vu capture --all --seconds 2 --out all.h5
