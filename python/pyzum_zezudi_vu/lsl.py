"""A thin ctypes binding of liblsl's C API: what the `stream` command's outlet and its tests' inlets use.

liblsl is loaded on first use, not on import, so that the commands that never stream do not need it.
ctypes releases the GIL around every call, so a push or a pull that waits on the network does not hold up
Python's other threads. Each handle (stream info, outlet, inlet) has one owner whose close() destroys it once.
"""
import ctypes
import ctypes.util
import os
import threading

import numpy as np

CF_INT16 = 5             # lsl_channel_format_t's cft_int16
LOST_ERROR = -2          # lsl_lost_error: the outlet an inlet reads from is gone
FOREVER = 32000000.0     # LSL_FOREVER: wait without a bound

_library = None
_loading = threading.Lock()


class LslError(RuntimeError):
    """A liblsl call failed."""


def _declare(lib):
    c_void_p, c_char_p, c_double, c_int32 = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_double, ctypes.c_int32
    c_ulong, c_uint32, p_int32 = ctypes.c_ulong, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)
    signatures = {
        "lsl_library_version": (c_int32, []),
        "lsl_last_error": (c_char_p, []),
        "lsl_local_clock": (c_double, []),
        "lsl_destroy_string": (None, [c_void_p]),
        "lsl_set_config_content": (None, [c_char_p]),
        "lsl_create_streaminfo": (c_void_p, [c_char_p, c_char_p, c_int32, c_double, c_int32, c_char_p]),
        "lsl_destroy_streaminfo": (None, [c_void_p]),
        "lsl_get_name": (c_char_p, [c_void_p]),
        "lsl_get_type": (c_char_p, [c_void_p]),
        "lsl_get_source_id": (c_char_p, [c_void_p]),
        "lsl_get_channel_count": (c_int32, [c_void_p]),
        "lsl_get_channel_format": (c_int32, [c_void_p]),
        "lsl_get_nominal_srate": (c_double, [c_void_p]),
        "lsl_get_desc": (c_void_p, [c_void_p]),
        "lsl_get_xml": (c_void_p, [c_void_p]),
        "lsl_append_child": (c_void_p, [c_void_p, c_char_p]),
        "lsl_append_child_value": (c_void_p, [c_void_p, c_char_p, c_char_p]),
        "lsl_append_copy": (c_void_p, [c_void_p, c_void_p]),
        "lsl_first_child": (c_void_p, [c_void_p]),
        "lsl_next_sibling": (c_void_p, [c_void_p]),
        "lsl_empty": (c_int32, [c_void_p]),
        "lsl_name": (c_char_p, [c_void_p]),
        "lsl_child_value_n": (c_char_p, [c_void_p, c_char_p]),
        "lsl_set_child_value": (c_int32, [c_void_p, c_char_p, c_char_p]),
        "lsl_create_outlet": (c_void_p, [c_void_p, c_int32, c_int32]),
        "lsl_destroy_outlet": (None, [c_void_p]),
        "lsl_push_chunk_stnp": (c_int32, [c_void_p, c_void_p, c_ulong, c_void_p, c_int32]),
        "lsl_have_consumers": (c_int32, [c_void_p]),
        "lsl_resolve_byprop": (c_int32, [ctypes.POINTER(c_void_p), c_uint32, c_char_p, c_char_p, c_int32,
                                         c_double]),
        "lsl_create_inlet": (c_void_p, [c_void_p, c_int32, c_int32, c_int32]),
        "lsl_destroy_inlet": (None, [c_void_p]),
        "lsl_get_fullinfo": (c_void_p, [c_void_p, c_double, p_int32]),
        "lsl_open_stream": (None, [c_void_p, c_double, p_int32]),
        "lsl_pull_chunk_s": (c_ulong, [c_void_p, c_void_p, c_void_p, c_ulong, c_ulong, c_double, p_int32]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def library():
    """liblsl, loaded and declared on first use. Raises OSError with what to install when it is missing."""
    global _library
    with _loading:
        if _library is None:
            path = "liblsl.so.2"
            try:
                lib = ctypes.CDLL(path)
            except OSError:
                path = ctypes.util.find_library("lsl")
                if path is None:
                    raise OSError("liblsl is not installed: streaming to the lab network needs it "
                                  "(Debian: apt install liblsl2)") from None
                lib = ctypes.CDLL(path)
            _declare(lib)
            _library = lib
        return _library


def _failure(what):
    reason = library().lsl_last_error()
    return LslError(f"{what} failed" + (f": {reason.decode(errors='replace')}" if reason else ""))


def _text(value):
    return value.decode("utf-8", errors="replace") if value is not None else None


# Where liblsl looks for its configuration when LSLAPICFG names none (or none readable), in its order.
CONFIG_PLACES = ("lsl_api.cfg", "~/lsl_api/lsl_api.cfg", "/etc/lsl_api/lsl_api.cfg")


def user_config():
    """The text of the configuration file liblsl would read, or "" when there is none."""
    named = os.environ.get("LSLAPICFG")
    for place in ([named] if named else []) + [os.path.expanduser(p) for p in CONFIG_PLACES]:
        try:
            with open(place, encoding="utf-8") as f:
                return f.read()
        except OSError:
            continue
    return ""


def with_defaults(text, section, defaults):
    """`text`, an lsl_api.cfg, with each key of `defaults` added to [`section`] where the text leaves it
    unset (liblsl refuses a key given twice)."""
    lines = text.splitlines()
    current, header, present = None, None, set()
    for i, line in enumerate(lines):
        stripped = line.strip()
        if stripped.startswith("["):
            current = stripped[1:stripped.find("]")]
            if current == section and header is None:
                header = i
        elif current == section and "=" in stripped and not stripped.startswith(";"):
            present.add(stripped.split("=", 1)[0].strip())
    missing = [f"{key} = {value}" for key, value in defaults.items() if key not in present]
    if header is None:
        if missing:
            lines += [f"[{section}]"] + missing
    else:
        lines[header + 1:header + 1] = missing
    return "\n".join(lines) + "\n"


def configure(tuning):
    """Has liblsl read the user's configuration file with the [tuning] keys of `tuning` that the file does
    not set. Call before any stream, inlet or resolve: liblsl reads its configuration once."""
    library().lsl_set_config_content(with_defaults(user_config(), "tuning", tuning).encode())


def local_clock():
    """Seconds on LSL's clock (the host's monotonic clock), which stamps pushed samples."""
    return library().lsl_local_clock()


class XmlElement:
    """A node of a stream info's description; valid as long as the StreamInfo it came from is open."""

    def __init__(self, pointer):
        self._pointer = pointer

    def append_child(self, name):
        return XmlElement(library().lsl_append_child(self._pointer, name.encode()))

    def append_child_value(self, name, value):
        library().lsl_append_child_value(self._pointer, name.encode(), str(value).encode())
        return self

    def append_copy(self, other):
        """Appends a copy of `other` (and all below it) as the last child; returns the copy."""
        return XmlElement(library().lsl_append_copy(self._pointer, other._pointer))

    def children(self):
        child = library().lsl_first_child(self._pointer)
        while child and not library().lsl_empty(child):
            yield XmlElement(child)
            child = library().lsl_next_sibling(child)

    @property
    def name(self):
        return _text(library().lsl_name(self._pointer))

    def child_value(self, name):
        return _text(library().lsl_child_value_n(self._pointer, name.encode()))

    def set_child_value(self, name, value):
        library().lsl_set_child_value(self._pointer, name.encode(), str(value).encode())


class _Owned:
    """Owns one liblsl handle and frees it once: by close(), at the end of a with block or when collected."""
    _handle = None  # stays None when the constructor failed
    _destroy = ""   # the liblsl function that frees the handle
    _kind = ""      # what the handle is, for the error on using a closed one

    def _live(self):
        if self._handle is None:
            raise ValueError(f"the {self._kind} is closed")
        return self._handle

    def close(self):
        if self._handle is not None:
            getattr(library(), self._destroy)(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


class StreamInfo(_Owned):
    """Owns an lsl_streaminfo: a stream's name, type, channels, rate, source and description."""
    _destroy, _kind = "lsl_destroy_streaminfo", "stream info"

    def __init__(self, name, type_, channel_count, nominal_rate, source_id):
        handle = library().lsl_create_streaminfo(name.encode(), type_.encode(), channel_count, nominal_rate,
                                                 CF_INT16, source_id.encode())
        if not handle:
            raise _failure("creating the stream info")
        self._handle = handle

    @classmethod
    def _adopt(cls, handle):
        info = cls.__new__(cls)
        info._handle = handle
        return info

    @property
    def handle(self):
        return self._live()

    @property
    def name(self):
        return _text(library().lsl_get_name(self.handle))

    @property
    def type(self):
        return _text(library().lsl_get_type(self.handle))

    @property
    def source_id(self):
        return _text(library().lsl_get_source_id(self.handle))

    @property
    def channel_count(self):
        return library().lsl_get_channel_count(self.handle)

    @property
    def channel_format(self):
        return library().lsl_get_channel_format(self.handle)

    @property
    def nominal_rate(self):
        return library().lsl_get_nominal_srate(self.handle)

    def desc(self):
        return XmlElement(library().lsl_get_desc(self.handle))

    def xml(self):
        """The whole info, description included, as LSL's XML text."""
        pointer = library().lsl_get_xml(self.handle)
        if not pointer:
            raise _failure("reading the stream info's XML")
        try:
            return ctypes.string_at(pointer).decode("utf-8", errors="replace")
        finally:
            library().lsl_destroy_string(pointer)


# Frames (rows of the caller's channels) to each LSL sample of an outlet. liblsl's costs go per sample (a
# sample allocated, queued, framed and sent, then the same again in each inlet), and an inlet sets aside its
# queue up front: 16 bytes per sample for its whole buffer (a recorder's 360 s by default). Frame by frame,
# 3.3 million samples a second took 81 % of a core in liblsl alone and an inlet of 360 s would claim 19 GB;
# 32 frames to a sample cut both by 32 (the sample still spans under 10 us at 40 MB/s).
FRAMES_PER_SAMPLE = 32


def _bundled_info(info, per_sample):
    """A stream info like `info` whose samples each hold `per_sample` of its samples ("frames"): the
    channels repeated per frame (labels "<label>_<frame>"), the rate divided, and a description that says
    how to read it and what a recorder should set."""
    frame_rate = info.nominal_rate
    bundled = StreamInfo(info.name, info.type, info.channel_count * per_sample, frame_rate / per_sample,
                         info.source_id)
    desc = bundled.desc()
    for child in info.desc().children():
        if child.name != "channels":
            desc.append_copy(child)
            continue
        channels = desc.append_child("channels")
        for frame in range(per_sample):
            for channel in child.children():
                copy = channels.append_copy(channel)
                label = channel.child_value("label")
                if label:
                    copy.set_child_value("label", f"{label}_{frame}")
    samples_per_s = frame_rate / per_sample
    desc.append_child_value("frames_per_sample", per_sample)
    desc.append_child_value("frame_channels", info.channel_count)
    desc.append_child_value("frame_rate_hz", repr(float(frame_rate)))
    desc.append_child_value("layout", f"each sample holds {per_sample} consecutive frames of "
                            f"{info.channel_count} channels (channel <label>_<i> belongs to frame i); frame i "
                            f"was taken at the sample's time stamp + i / frame_rate_hz")
    desc.append_child_value("recording", f"an inlet sets aside 16 bytes per sample of its buffer when it is "
                            f"made, {samples_per_s * 16 / 1e6:.2g} MB per buffered second, and holds up to that "
                            f"many seconds of data when its program falls behind; liblsl's default buffer of "
                            f"360 s is safe, a recorder that lags may set 10 to 60 s")
    return bundled


class StreamOutlet(_Owned):
    """Owns an lsl_outlet: publishes a stream of int16 samples to every inlet that connects; closing it
    withdraws the stream (connected inlets lose it, resolvers no longer find it).

    The stream published is `info`'s with `frames_per_sample` of its samples ("frames", the rows pushed) to
    each LSL sample (see _bundled_info; 1 publishes frame by frame); StreamInlet unpacks them again. A push
    sends whole samples: up to frames_per_sample - 1 frames wait for the next push (`held`).
    `buffered_seconds` bounds what is kept per inlet that reads slower than the stream (older samples go
    first). One thread pushes at a time.
    """
    _destroy, _kind = "lsl_destroy_outlet", "outlet"

    def __init__(self, info, buffered_seconds, frames_per_sample=FRAMES_PER_SAMPLE):
        if frames_per_sample == 1:
            handle = library().lsl_create_outlet(info.handle, 0, buffered_seconds)
        else:
            with _bundled_info(info, frames_per_sample) as bundled:
                handle = library().lsl_create_outlet(bundled.handle, 0, buffered_seconds)
        if not handle:
            raise _failure("creating the outlet")
        self._handle = handle
        self._channels = info.channel_count
        self._per_sample = frames_per_sample
        self._held = np.empty((0, self._channels), np.int16)
        self._held_stamps = np.empty(0)

    @property
    def held(self):
        """Frames pushed that wait for the next push to fill a sample (at the end: never sent)."""
        return len(self._held)

    # One thread at a time; a failed push leaves the outlet usable, without that chunk.
    def push_chunk(self, rows, stamps):
        """Pushes `rows` (int16, shape (n, channels)), stamped `stamps` (float64, n, on LSL's clock), after
        the frames held back from the last push, sent on at once as whole samples, each stamped its first
        frame's stamp.

        Every sample carries its stamp: liblsl would send the others of a chunk as "deduced" from the one
        before, and an inlet that connects after the chunk's first sample went out deduces them from 0.
        """
        if rows.dtype != np.int16 or rows.ndim != 2 or rows.shape[1] != self._channels:
            raise ValueError(f"rows must be int16 of shape (n, {self._channels})")
        if len(stamps) != len(rows):
            raise ValueError(f"{len(rows)} rows need as many stamps, not {len(stamps)}")
        if len(self._held):
            rows = np.concatenate((self._held, rows))
            stamps = np.concatenate((self._held_stamps, stamps))
        whole = len(rows) - len(rows) % self._per_sample
        self._held, self._held_stamps = rows[whole:].copy(), np.array(stamps[whole:], np.float64)
        if whole == 0:
            return
        rows = np.ascontiguousarray(rows[:whole])
        sample_stamps = np.ascontiguousarray(stamps[:whole:self._per_sample], np.float64)
        status = library().lsl_push_chunk_stnp(self._live(), rows.ctypes.data, rows.size,
                                               sample_stamps.ctypes.data, 1)
        if status < 0:
            raise _failure(f"pushing a chunk (error {status})")

    def have_consumers(self):
        return bool(library().lsl_have_consumers(self._live()))


def resolve(prop, value, timeout, most=8):
    """Stream infos (short: no description) of the streams whose `prop` ("name", "type", "source_id")
    is `value`; waits up to `timeout` seconds for at least one. The caller closes them."""
    buffer = (ctypes.c_void_p * most)()
    found = library().lsl_resolve_byprop(buffer, most, prop.encode(), value.encode(), 1, timeout)
    if found < 0:
        raise _failure(f"resolving streams by {prop} (error {found})")
    return [StreamInfo._adopt(buffer[i]) for i in range(found)]


class StreamInlet(_Owned):
    """Owns an lsl_inlet: receives one stream. `recover=False` reports an outlet that went away as
    `LostStream` instead of waiting for it to come back. One thread pulls at a time."""
    _destroy, _kind = "lsl_destroy_inlet", "inlet"

    def __init__(self, info, buffered_seconds=10, recover=False):
        handle = library().lsl_create_inlet(info.handle, buffered_seconds, 0, int(recover))
        if not handle:
            raise _failure("creating the inlet")
        self._handle = handle
        self._channels = info.channel_count
        self._rate = info.nominal_rate
        self._ec = ctypes.c_int32(0)
        self._sample_stamps = np.empty(0)

    def _check(self, what):
        if self._ec.value == LOST_ERROR:
            raise LostStream("the stream's outlet is gone")
        if self._ec.value != 0:
            raise LslError(f"{what} failed (error {self._ec.value})")

    def full_info(self, timeout):
        """The stream's whole info, description included (a StreamInfo the caller closes)."""
        handle = library().lsl_get_fullinfo(self._live(), timeout, ctypes.byref(self._ec))
        self._check("reading the stream's full info")
        return StreamInfo._adopt(handle)

    def open(self, timeout):
        """Subscribes now rather than at the first pull, so that samples pushed from here on are kept."""
        library().lsl_open_stream(self._live(), timeout, ctypes.byref(self._ec))
        self._check("opening the stream")

    def pull_chunk(self, rows, stamps, timeout):
        """Fills `rows` (int16, C-ordered (n, words)) with the frames that have arrived and `stamps` (float64,
        n) with their time stamps, waiting up to `timeout` seconds for the first one; returns how many frames
        came. A stream whose samples hold several frames of `words` channels each (StreamOutlet's) is
        unpacked: frame i of a sample is stamped its stamp + i / the frame rate."""
        words = rows.shape[1]
        if self._channels % words or not rows.flags.c_contiguous or rows.dtype != np.int16:
            raise ValueError(f"rows must be C-ordered int16 with a width that divides {self._channels}")
        per_sample = self._channels // words
        room = min(len(rows), len(stamps)) // per_sample
        sample_stamps = stamps
        if per_sample > 1:
            if len(self._sample_stamps) < room:
                self._sample_stamps = np.empty(room)
            sample_stamps = self._sample_stamps
        elements = library().lsl_pull_chunk_s(self._live(), rows.ctypes.data, sample_stamps.ctypes.data,
                                              room * self._channels, room, timeout, ctypes.byref(self._ec))
        self._check("pulling a chunk")
        samples = elements // self._channels
        if per_sample > 1 and samples:
            offsets = np.arange(per_sample) / (self._rate * per_sample)
            stamps[:samples * per_sample].reshape(samples, per_sample)[:] = \
                sample_stamps[:samples, None] + offsets
        return samples * per_sample


class LostStream(LslError):
    """The outlet an inlet read from was closed."""
