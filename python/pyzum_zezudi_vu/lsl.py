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
        "lsl_create_outlet": (c_void_p, [c_void_p, c_int32, c_int32]),
        "lsl_destroy_outlet": (None, [c_void_p]),
        "lsl_push_chunk_stp": (c_int32, [c_void_p, c_void_p, c_ulong, c_double, c_int32]),
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


class StreamOutlet(_Owned):
    """Owns an lsl_outlet: publishes a stream of int16 samples to every inlet that connects; closing it
    withdraws the stream (connected inlets lose it, resolvers no longer find it).

    `buffered_seconds` bounds what is kept per inlet that reads slower than the stream (older samples go
    first). One thread pushes at a time.
    """
    _destroy, _kind = "lsl_destroy_outlet", "outlet"

    def __init__(self, info, buffered_seconds):
        handle = library().lsl_create_outlet(info.handle, 0, buffered_seconds)
        if not handle:
            raise _failure("creating the outlet")
        self._handle = handle
        self._channels = info.channel_count
        self._interval = 1.0 / info.nominal_rate

    # One thread at a time; a failed push leaves the outlet usable, without that chunk.
    def push_chunk(self, rows, first_timestamp):
        """Pushes `rows` (int16, shape (n, channels)) as one chunk, sent on at once. The first row gets
        `first_timestamp`; each next one the nominal interval after it, as inlets deduce it."""
        if rows.dtype != np.int16 or rows.ndim != 2 or rows.shape[1] != self._channels:
            raise ValueError(f"rows must be int16 of shape (n, {self._channels})")
        if len(rows) == 0:
            return
        rows = np.ascontiguousarray(rows)
        # liblsl takes the stamp of a chunk's last sample and counts the first one back from it.
        last_timestamp = first_timestamp + (len(rows) - 1) * self._interval
        status = library().lsl_push_chunk_stp(self._live(), rows.ctypes.data, rows.size, last_timestamp, 1)
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
        self._ec = ctypes.c_int32(0)

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
        """Fills `rows` (int16, C-ordered (n, channels)) and `stamps` (float64, n) with what has arrived,
        waiting up to `timeout` seconds for the first sample; returns how many samples came."""
        elements = library().lsl_pull_chunk_s(self._live(), rows.ctypes.data, stamps.ctypes.data, rows.size,
                                              len(stamps), timeout, ctypes.byref(self._ec))
        self._check("pulling a chunk")
        return elements // self._channels


class LostStream(LslError):
    """The outlet an inlet read from was closed."""
