"""The versions of this package and of the libraries under the extension, for reports and recordings."""
import ctypes
from importlib import metadata


def package_version():
    try:
        return metadata.version("pyzum_zezudi_vu")
    except metadata.PackageNotFoundError:
        return "from the source tree"


class _FtdiVersion(ctypes.Structure):
    _fields_ = [("major", ctypes.c_int), ("minor", ctypes.c_int), ("micro", ctypes.c_int),
                ("version_str", ctypes.c_char_p), ("snapshot_str", ctypes.c_char_p)]


class _UsbVersion(ctypes.Structure):
    _fields_ = [("major", ctypes.c_uint16), ("minor", ctypes.c_uint16), ("micro", ctypes.c_uint16),
                ("nano", ctypes.c_uint16), ("rc", ctypes.c_char_p), ("describe", ctypes.c_char_p)]


def library_versions():
    """{"libftdi": (major, minor, micro) or None, "libusb": ...}: the libraries the module loaded."""
    versions = {"libftdi": None, "libusb": None}
    try:
        ftdi = ctypes.CDLL("libftdi1.so.2")
        ftdi.ftdi_get_library_version.restype = _FtdiVersion
        v = ftdi.ftdi_get_library_version()
        versions["libftdi"] = (v.major, v.minor, v.micro)
    except (OSError, AttributeError):
        pass
    try:
        usb = ctypes.CDLL("libusb-1.0.so.0")
        usb.libusb_get_version.restype = ctypes.POINTER(_UsbVersion)
        v = usb.libusb_get_version().contents
        versions["libusb"] = (v.major, v.minor, v.micro)
    except (OSError, AttributeError, ValueError):
        pass
    return versions
