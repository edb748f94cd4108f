"""What Linux shows of the FTDI devices on the USB bus, read from sysfs and /proc without opening any of them."""
import dataclasses
import errno
import os

SYSFS_DEVICES = "/sys/bus/usb/devices"
USBFS_MEMORY_MB = "/sys/module/usbcore/parameters/usbfs_memory_mb"
FTDI_VENDOR = 0x0403
# libftdi's default set: FT232R/FT245R, FT2232, FT4232, FT232H, FT230X and relatives.
FTDI_PRODUCTS = {0x6001: "FT232R", 0x6010: "FT2232", 0x6011: "FT4232", 0x6014: "FT232H", 0x6015: "FT-X"}
# The product strings an FTDI chip reports while its EEPROM is blank.
BLANK_PRODUCTS = {"Single RS232-HS", "Dual RS232-HS", "Quad RS232-HS", "FT232R USB UART", "FT230X Basic UART"}


@dataclasses.dataclass
class UsbDevice:
    """One FTDI device as sysfs shows it. Strings are None where the device has none (or sysfs hides them);
    `driver` is who holds interface 0: a kernel driver, "usbfs" while a program has claimed it, or None."""
    name: str
    bus: int
    address: int
    product_id: int
    speed_mbit: float | None
    manufacturer: str | None
    product: str | None
    serial: str | None
    driver: str | None
    ttys: list[str]

    @property
    def devnode(self):
        return f"/dev/bus/usb/{self.bus:03d}/{self.address:03d}"

    @property
    def chip(self):
        return FTDI_PRODUCTS.get(self.product_id, f"{self.product_id:04x}")

    @property
    def kind(self):
        """"board" (a PCB_ROQ board, as the module lists them), "blank" (the chip's own strings: an
        unprogrammed EEPROM) or "foreign" (someone else's device)."""
        if (self.manufacturer or "").startswith("ZUM") and (self.product or "").startswith("PCB_ROQ"):
            return "board"
        if self.manufacturer in (None, "FTDI") and (self.product is None or self.product in BLANK_PRODUCTS):
            return "blank"
        return "foreign"

    def where(self):
        return f"bus {self.bus} address {self.address} ({self.name})"


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace").rstrip("\n")
    except OSError:
        return None


def _number(text, base=10):
    try:
        return int(text, base)
    except (TypeError, ValueError):
        return None


def ftdi_devices(root=SYSFS_DEVICES):
    """The devices of libftdi's default vendor and product set, by bus and address."""
    try:
        names = os.listdir(root)
    except OSError:
        return []
    found = []
    for name in names:
        if ":" in name:
            continue  # an interface, not a device
        path = os.path.join(root, name)
        vendor, product_id = _number(_read(f"{path}/idVendor"), 16), _number(_read(f"{path}/idProduct"), 16)
        if vendor != FTDI_VENDOR or product_id not in FTDI_PRODUCTS:
            continue
        interface = f"{path}/{name}:1.0"
        try:
            driver = os.path.basename(os.readlink(f"{interface}/driver"))
        except OSError:
            driver = None
        try:
            ttys = sorted(entry for entry in os.listdir(interface) if entry.startswith("ttyUSB"))
        except OSError:
            ttys = []
        speed = _read(f"{path}/speed")
        try:
            speed_mbit = float(speed) if speed is not None else None
        except ValueError:
            speed_mbit = None
        found.append(UsbDevice(name=name, bus=_number(_read(f"{path}/busnum")) or 0,
                               address=_number(_read(f"{path}/devnum")) or 0, product_id=product_id,
                               speed_mbit=speed_mbit, manufacturer=_read(f"{path}/manufacturer"),
                               product=_read(f"{path}/product"), serial=_read(f"{path}/serial"), driver=driver,
                               ttys=[f"/dev/{tty}" for tty in ttys]))
    return sorted(found, key=lambda d: (d.bus, d.address))


def may_open(devnode):
    """None when this user may open the node read-write (opened and closed at once, nothing claimed), else
    the errno that refused it."""
    try:
        os.close(os.open(devnode, os.O_RDWR | os.O_CLOEXEC))
    except OSError as e:
        return e.errno or errno.EIO
    return None


def holders(path):
    """(pid, command name) of the processes that have `path` open, as far as /proc lets this user see."""
    wanted = {path}
    emulated = os.environ.get("UMOCKDEV_DIR")
    if emulated:
        wanted.add(emulated + path)  # an emulated device's node lives under the testbed
    found = []
    try:
        pids = [entry for entry in os.listdir("/proc") if entry.isdigit()]
    except OSError:
        return found
    for pid in pids:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue  # gone, or another user's
        for fd in fds:
            try:
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if target in wanted:
                found.append((int(pid), _read(f"/proc/{pid}/comm") or "?"))
                break
    return found


def usbfs_memory_mb(path=USBFS_MEMORY_MB):
    """usbcore's limit on the memory of all URBs in flight, in MiB (0: none), or None where it can't be read."""
    return _number(_read(path))
