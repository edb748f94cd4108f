import numpy as np

import pyzum_zezudi_vu

data = pyzum_zezudi_vu.capture(seconds=0.5)     # opens the first board, reads, closes it again
print(data.shape, data.dtype)                   # (frames, 5) int16
np.save("half_a_second.npy", data)
