"""Python control of the simulated PCB_ROQ boards (a ctypes wrapper of sim/pcb_roq_sim.h).

The simulator must already be loaded ahead of libusb, by LD_PRELOAD (``tools/devroot run --sim``, or the test
runner). This module never loads it itself: loaded late, libftdi would still talk to the real libusb.

    from pcb_roq_sim import Simulator
    sim = Simulator()
    sim.configure("serial=A;serial=B,rate=1e6")
    sim.device("B").pause()
    print(sim.device("A").stats.bytes_delivered)
"""
import ctypes
import gc
import os
import time

DEFAULT_SPEC = "board"
FRAME_SIZE = 12

LIBUSB_ERROR_IO = -1
LIBUSB_ERROR_ACCESS = -3
LIBUSB_ERROR_NO_DEVICE = -4
LIBUSB_ERROR_TIMEOUT = -7


class SimulatorNotLoaded(RuntimeError):
    """The process runs on the real libusb: the simulator was not preloaded."""


class SimulatorError(RuntimeError):
    """The simulator refused a request (bad argument or configuration)."""


def _fields(*names):
    return [(name, ctypes.c_int64) for name in names]


class _Counters:
    def as_dict(self):
        return {name: getattr(self, name) for name, _ in self._fields_}

    def __repr__(self):
        return f"{type(self).__name__}({self.as_dict()})"


class Stats(_Counters, ctypes.Structure):
    """Totals of the whole simulator (struct pcb_roq_sim_stats)."""

    _fields_ = _fields("inits", "init_failures", "exits", "live_contexts", "live_handles", "live_devices",
                       "live_transfers", "live_config_descriptors")


class DeviceStats(_Counters, ctypes.Structure):
    """What the host did to one device and what it delivered (struct pcb_roq_sim_device_stats)."""

    _fields_ = _fields("plugged", "opens", "closes", "open_refusals", "claimed_interface",
                       "last_claimed_interface", "configuration", "bit_mode", "bit_mask", "latency_timer", "resets",
                       "purges_rx", "purges_tx", "baud_rate_requests", "control_requests", "bulk_reads",
                       "bulk_read_errors", "bytes_delivered", "bytes_lost", "bytes_dropped", "status_only_packets",
                       "bytes_written", "stream_offset", "frame_index", "bytes_lost_streaming")


_library = None


def _sim_path_hint():
    build = os.environ.get("PYZUM_BUILD_DIR", "build")
    return os.path.join(build, "sim", "libpcb_roq_sim.so")


def usbfs_preload(build_dir=None, sanitizer_runtime=None):
    """LD_PRELOAD for the usbfs front end: a sanitizer's runtime first if any, then ours, then umockdev's preload
    (ours ahead of it sees the device paths libusb opens, to refuse a refusing board's node)."""
    build = build_dir or os.environ.get("PYZUM_BUILD_DIR", "build")
    parts = [sanitizer_runtime] if sanitizer_runtime else []
    parts += [os.path.abspath(os.path.join(build, "sim", "libpcb_roq_usbfs.so")), "libumockdev-preload.so.0"]
    return ":".join(parts)


def _object_file(address):
    """The shared object that holds `address`, as the dynamic linker names it."""

    class DlInfo(ctypes.Structure):
        _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                    ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]

    libc = ctypes.CDLL(None)
    info = DlInfo()
    libc.dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    if libc.dladdr(address, ctypes.byref(info)) == 0 or info.dli_fname is None:
        return None
    return info.dli_fname.decode(errors="replace")


def library():
    """The preloaded simulator's C API, with its argument types declared. Raises SimulatorNotLoaded."""
    global _library
    if _library is not None:
        return _library
    lib = ctypes.CDLL(None)  # the process's global scope: what libftdi's own calls resolve to
    if not hasattr(lib, "pcb_roq_sim_reset"):
        raise SimulatorNotLoaded(
            f"the simulated board is not loaded; run with LD_PRELOAD={_sim_path_hint()} "
            "(tools/devroot run --sim ..., or make test)")
    front_end = "libusb"
    if hasattr(lib, "pcb_roq_sim_front_end"):
        lib.pcb_roq_sim_front_end.restype = ctypes.c_char_p
        front_end = lib.pcb_roq_sim_front_end().decode()
    if front_end == "libusb":
        owner = _object_file(ctypes.cast(lib.libusb_init, ctypes.c_void_p).value)
        if owner != _object_file(ctypes.cast(lib.pcb_roq_sim_reset, ctypes.c_void_p).value):
            raise SimulatorNotLoaded(f"libusb_init comes from {owner}, not from the simulator: preload "
                                     f"{_sim_path_hint()} so it comes before libusb")
    else:
        # The real libusb reaches the emulated nodes only through umockdev's preload, which wraps ioctl() (behind
        # a sanitizer's interceptors, when one is loaded first).
        with open("/proc/self/maps") as maps:
            if "libumockdev-preload" not in maps.read():
                raise SimulatorNotLoaded(f"umockdev's preload is not loaded: run with LD_PRELOAD={usbfs_preload()}")
    i, u64, d, s = ctypes.c_int, ctypes.c_uint64, ctypes.c_double, ctypes.c_char_p
    u64p = ctypes.POINTER(ctypes.c_uint64)
    signatures = {
        "pcb_roq_sim_stats_size": ([], ctypes.c_size_t),
        "pcb_roq_sim_device_stats_size": ([], ctypes.c_size_t),
        "pcb_roq_sim_last_error": ([], s),
        "pcb_roq_sim_configure": ([s], i),
        "pcb_roq_sim_reset": ([], i),
        "pcb_roq_sim_add_device": ([s], i),
        "pcb_roq_sim_device_count": ([], i),
        "pcb_roq_sim_find": ([s], i),
        "pcb_roq_sim_set_latency_scale": ([d], i),
        "pcb_roq_sim_latency_scale": ([], d),
        "pcb_roq_sim_fail_init": ([i], i),
        "pcb_roq_sim_set_rate": ([i, d], i),
        "pcb_roq_sim_set_fifo_size": ([i, u64], i),
        "pcb_roq_sim_set_raw_stream": ([i, ctypes.c_char_p, ctypes.c_size_t, i], i),
        "pcb_roq_sim_set_pattern": ([i, ctypes.c_uint32], i),
        "pcb_roq_sim_refuse_open": ([i, i], i),
        "pcb_roq_sim_unplug": ([i, d], i),
        "pcb_roq_sim_unplug_after_bytes": ([i, u64], i),
        "pcb_roq_sim_replug": ([i], i),
        "pcb_roq_sim_fail_bulk_read": ([i, u64, i], i),
        "pcb_roq_sim_drop_bytes": ([i, u64p, ctypes.c_size_t], i),
        "pcb_roq_sim_corrupt_sync": ([i, u64p, ctypes.c_size_t], i),
        "pcb_roq_sim_pause": ([i, i], i),
        "pcb_roq_sim_get_stats": ([ctypes.POINTER(Stats)], i),
        "pcb_roq_sim_get_device_stats": ([i, ctypes.POINTER(DeviceStats)], i),
        "pcb_roq_sim_pattern_frame": ([ctypes.c_uint32, ctypes.c_char_p], None),
        "pcb_roq_sim_stall_bulk_in": ([i, u64], i),
        "pcb_roq_sim_race_discard": ([i, i], i),
        "pcb_roq_sim_delay_discard": ([i, d], i),
        "pcb_roq_sim_set_urb_memory_limit": ([u64], i),
        "pcb_roq_sim_front_end": ([], s),
    }
    for name, (argtypes, restype) in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype
    if lib.pcb_roq_sim_stats_size() != ctypes.sizeof(Stats) or \
            lib.pcb_roq_sim_device_stats_size() != ctypes.sizeof(DeviceStats):
        raise SimulatorNotLoaded("the preloaded simulator was built from another pcb_roq_sim.h")
    _library = lib
    return lib


def _check(result):
    if result < 0:
        raise SimulatorError(library().pcb_roq_sim_last_error().decode(errors="replace"))
    return result


def _u64_array(values):
    values = [int(v) for v in values]
    return (ctypes.c_uint64 * len(values))(*values), len(values)


def pattern_frame(index):
    """The 12 bytes of frame `index` of the default pattern."""
    out = ctypes.create_string_buffer(FRAME_SIZE)
    library().pcb_roq_sim_pattern_frame(index & 0xFFFFFFFF, out)
    return out.raw


def pattern_bytes(offset, count, first_frame=0):
    """Bytes [offset, offset + count) of the pattern stream that starts at frame `first_frame`."""
    first = offset // FRAME_SIZE
    last = (offset + count + FRAME_SIZE - 1) // FRAME_SIZE
    data = b"".join(pattern_frame(first_frame + f) for f in range(first, last))
    start = offset - first * FRAME_SIZE
    return data[start:start + count]


class Device:
    """One simulated device, by its position in the enumeration order."""

    def __init__(self, index):
        self.index = index

    def __repr__(self):
        return f"Device({self.index})"

    @property
    def stats(self):
        out = DeviceStats()
        _check(library().pcb_roq_sim_get_device_stats(self.index, ctypes.byref(out)))
        return out

    def set_rate(self, bytes_per_second):
        """Bytes per second on the monotonic clock; 0 for unlimited (data always ready)."""
        _check(library().pcb_roq_sim_set_rate(self.index, float(bytes_per_second)))

    def set_fifo_size(self, size):
        _check(library().pcb_roq_sim_set_fifo_size(self.index, size))

    def stream_raw(self, data, repeat=False):
        """Streams `data` (bytes) from offset 0, once or over and over."""
        data = bytes(data)
        _check(library().pcb_roq_sim_set_raw_stream(self.index, data, len(data), int(repeat)))

    def stream_pattern(self, first_frame=0):
        _check(library().pcb_roq_sim_set_pattern(self.index, first_frame))

    def pause(self, paused=True):
        _check(library().pcb_roq_sim_pause(self.index, int(paused)))

    def resume(self):
        self.pause(False)

    def refuse_open(self, refuse=True):
        _check(library().pcb_roq_sim_refuse_open(self.index, int(refuse)))

    def unplug(self, after_ms=0):
        _check(library().pcb_roq_sim_unplug(self.index, float(after_ms)))

    def unplug_after_bytes(self, count):
        _check(library().pcb_roq_sim_unplug_after_bytes(self.index, count))

    def replug(self):
        _check(library().pcb_roq_sim_replug(self.index))

    def fail_bulk_read(self, nth=1, error=LIBUSB_ERROR_IO):
        _check(library().pcb_roq_sim_fail_bulk_read(self.index, nth, error))

    def drop_bytes(self, offsets):
        array, count = _u64_array(offsets)
        _check(library().pcb_roq_sim_drop_bytes(self.index, array, count))

    def corrupt_sync(self, frames):
        array, count = _u64_array(frames)
        _check(library().pcb_roq_sim_corrupt_sync(self.index, array, count))

    def stall_bulk_in(self, nth=1):
        """usbfs only: the nth next bulk IN URB stalls and the endpoint stays halted until cleared."""
        _check(library().pcb_roq_sim_stall_bulk_in(self.index, nth))

    def delay_discard(self, ms):
        """usbfs only: discarded URBs come back `ms` later (cancellations complete late); 0: at once."""
        _check(library().pcb_roq_sim_delay_discard(self.index, float(ms)))

    def race_discard(self, on=True):
        """usbfs only: discarding a URB that holds data fails; the URB completes with what it holds."""
        _check(library().pcb_roq_sim_race_discard(self.index, 1 if on else 0))


class Simulator:
    """The simulated bus of this process. All instances control the same one."""

    def __init__(self):
        self._lib = library()

    @property
    def front_end(self):
        """"libusb" (the stand-in answers libusb's calls) or "usbfs" (the real libusb on an emulated usbfs)."""
        return self._lib.pcb_roq_sim_front_end().decode()

    def set_urb_memory_limit(self, limit_bytes):
        """usbfs only: URB submissions that would take all URBs in flight above this many bytes fail (ENOMEM)."""
        _check(self._lib.pcb_roq_sim_set_urb_memory_limit(int(limit_bytes)))

    def configure(self, spec=DEFAULT_SPEC):
        """Replaces every device (grammar in sim/README.md); returns the number of devices."""
        return _check(self._lib.pcb_roq_sim_configure(spec.encode()))

    def reset(self):
        """Back to the environment's configuration (one board SIM0001 when unset) and latency scale 1."""
        return _check(self._lib.pcb_roq_sim_reset())

    def add_device(self, spec=DEFAULT_SPEC):
        return Device(_check(self._lib.pcb_roq_sim_add_device(spec.encode())))

    def device(self, key=0):
        """A device by index or by serial string."""
        if isinstance(key, str):
            index = self._lib.pcb_roq_sim_find(key.encode())
            if index < 0:
                raise KeyError(key)
            return Device(index)
        if not 0 <= key < len(self):
            raise IndexError(key)
        return Device(key)

    def __len__(self):
        return self._lib.pcb_roq_sim_device_count()

    @property
    def devices(self):
        return [Device(i) for i in range(len(self))]

    @property
    def stats(self):
        out = Stats()
        _check(self._lib.pcb_roq_sim_get_stats(ctypes.byref(out)))
        return out

    @property
    def latency_scale(self):
        return self._lib.pcb_roq_sim_latency_scale()

    @latency_scale.setter
    def latency_scale(self, scale):
        _check(self._lib.pcb_roq_sim_set_latency_scale(float(scale)))

    def fail_init(self, count=-1):
        """The next `count` libusb_init calls fail (-1: all of them, 0: none), so ftdi_new returns NULL."""
        _check(self._lib.pcb_roq_sim_fail_init(count))

    def leaks(self):
        """What the code under test still holds of libusb, as readable lines; empty when nothing."""
        gc.collect()
        # Under the real libusb a closed device file is noticed when umockdev lets go of its client, a moment
        # after close() returned: give that a generous while before calling anything a leak.
        deadline = time.monotonic() + (5 if self.front_end == "usbfs" else 0)
        while True:
            problems = [f"{name} = {value}" for name, value in self.stats.as_dict().items()
                        if name.startswith("live_") and value != 0]
            for device in self.devices:
                s = device.stats
                if s.opens != s.closes:
                    problems.append(f"device {device.index}: {s.opens} opens but {s.closes} closes")
            if not problems or time.monotonic() > deadline:
                return problems
            time.sleep(0.01)
