python3 -m pyzum_zezudi_vu list
python3 -m pyzum_zezudi_vu capture --seconds 2 --plot channels.png
