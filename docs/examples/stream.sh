python3 -m pyzum_zezudi_vu stream --seconds 2 --name "bench 3"
python3 -m pyzum_zezudi_vu stream --seconds 2 --every 4
