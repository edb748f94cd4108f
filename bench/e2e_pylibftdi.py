"""(b) pylibftdi: the same chip in synchronous FIFO mode through pylibftdi's Device, decoded with NumPy."""
from pylibftdi import INTERFACE_A, Device

from e2e_common import READ_BYTES, SAMPLES_COUNT, SERIAL, Meter, unlimited_rate, warm_up_then_measure
from numpy_decoder import NumpyFrameDecoder

BITMODE_SYNCFF = 0x40


def main():
    unlimited_rate()
    # auto_detach makes pylibftdi call libusb through a library handle of its own, which reaches the real
    # libusb past the preloaded simulator and corrupts its handle; no kernel driver to detach here anyway.
    device = Device(SERIAL, interface_select=INTERFACE_A, auto_detach=False)
    device.ftdi_fn.ftdi_set_bitmode(0xFF, BITMODE_SYNCFF)
    device.ftdi_fn.ftdi_set_latency_timer(255)
    device.flush()
    decoder = NumpyFrameDecoder(SAMPLES_COUNT)

    def read_one():
        return decoder.feed(device.read(READ_BYTES))

    meter = warm_up_then_measure(read_one, Meter())
    device.close()
    meter.report("pylibftdi", dropped_bytes=decoder.dropped_bytes)


main()
