python3 -m pyzum_zezudi_vu doctor --seconds 2
python3 -m pyzum_zezudi_vu doctor --seconds 1 --json > doctor.json
