import numpy as np

frames = np.load("run.npy", mmap_mode="r")            # int16 (frames, 5); a long recording stays on disk
print(frames.shape, frames.dtype)
print("mean of each word:", frames[:100_000].mean(axis=0).round(1))
