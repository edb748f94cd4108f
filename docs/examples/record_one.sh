python3 -m pyzum_zezudi_vu capture --seconds 2 --out run.npy
python3 -m pyzum_zezudi_vu capture --blocks 100 --samples-count 16384 --out run.h5 --json > summary.json
