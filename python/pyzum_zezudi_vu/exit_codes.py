"""Exit statuses the commands share."""
EXIT_NO_BOARD = 2
EXIT_FRAMES_LOST = 3
EXIT_NO_DISPLAY = 4
EXIT_INTERRUPTED = 130
