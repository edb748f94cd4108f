"""A recording written beside its target and put in place only once it holds something, so that a capture that
fails to start leaves an earlier recording of the same name as it was."""
from __future__ import annotations

import os
import threading
import uuid


class StagedPath:
    """`target`, written first as a hidden file in the same directory (a rename there is atomic).

    `commit` puts the file in place of `target` (once; later calls do nothing); `discard` removes it unless it
    was committed. Both may be called from any thread.
    """

    def __init__(self, target: str | os.PathLike) -> None:
        self.target = os.fspath(target)
        head, name = os.path.split(self.target)
        self.temporary = os.path.join(head, f".{name}.{uuid.uuid4().hex[:8]}.partial")
        self.committed = False
        self._lock = threading.Lock()

    @property
    def current(self) -> str:
        """Where the file is now."""
        return self.target if self.committed else self.temporary

    def commit(self) -> None:
        with self._lock:
            if not self.committed:
                os.replace(self.temporary, self.target)
                self.committed = True

    def discard(self) -> bool:
        """Removes the uncommitted file; returns whether there was one to remove."""
        with self._lock:
            if self.committed:
                return False
            try:
                os.unlink(self.temporary)
            except FileNotFoundError:
                return False
            return True


class SpaceReserve:
    """A few hundred kilobytes set aside on the recording's file system, given back when writing failed so that
    the recording can still be closed and marked (a full disk would refuse even that).

    The space is a file removed at once and held open: the kernel gives it back when it is released, and also
    when the process dies, so that nothing is left behind.
    """

    SIZE = 256 << 10

    def __init__(self, beside: str) -> None:
        self._fd = -1
        head, name = os.path.split(beside)
        path = os.path.join(head, f"{name}.reserve")
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except OSError:
            return  # no room even for this: the recording will fail on its own, and say why
        os.unlink(path)
        try:
            os.posix_fallocate(fd, 0, self.SIZE)
        except OSError:
            os.close(fd)
            return
        self._fd = fd

    # The thread that closes the recording.
    def release(self) -> None:
        fd, self._fd = self._fd, -1
        if fd >= 0:
            os.close(fd)
