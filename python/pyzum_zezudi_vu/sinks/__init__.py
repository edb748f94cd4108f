"""The places a run's blocks go: one module per kind (npy, hdf5, lsl_outlet); board_clock times the
outlet's frames."""
