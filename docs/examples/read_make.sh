python3 -m pyzum_zezudi_vu capture --seconds 1 --out run.h5
python3 -m pyzum_zezudi_vu capture --seconds 1 --out run.npy
