python3 -m pyzum_zezudi_vu capture --seconds 2 --out run.h5
