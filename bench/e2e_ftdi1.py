"""(c) libftdi's own Python binding (ftdi1): the chip in synchronous FIFO mode, decoded with NumPy."""
import ftdi1

from e2e_common import READ_BYTES, SAMPLES_COUNT, SERIAL, Meter, unlimited_rate, warm_up_then_measure
from numpy_decoder import NumpyFrameDecoder


def open_by_serial(ctx, serial):
    ret, devices = ftdi1.usb_find_all(ctx, 0, 0)
    if ret < 0:
        raise SystemExit(f"usb_find_all: {ftdi1.get_error_string(ctx)}")
    try:
        node = devices
        while node:
            ret, _manufacturer, _description, found = ftdi1.usb_get_strings(ctx, node.dev)
            if ret == 0 and found == serial:
                if ftdi1.usb_open_dev(ctx, node.dev) != 0:
                    raise SystemExit(f"usb_open_dev: {ftdi1.get_error_string(ctx)}")
                return
            node = node.next
    finally:
        ftdi1.list_free2(devices)
    raise SystemExit(f"{serial} not found")


def main():
    unlimited_rate()
    ctx = ftdi1.new()
    ftdi1.set_interface(ctx, ftdi1.INTERFACE_A)
    open_by_serial(ctx, SERIAL)
    ftdi1.set_bitmode(ctx, 0xFF, ftdi1.BITMODE_SYNCFF)
    ftdi1.set_latency_timer(ctx, 255)
    ftdi1.tcioflush(ctx)
    decoder = NumpyFrameDecoder(SAMPLES_COUNT)

    def read_one():
        ret, data = ftdi1.read_data(ctx, READ_BYTES)
        if ret < 0:
            raise SystemExit(f"read_data: {ftdi1.get_error_string(ctx)}")
        return decoder.feed(data[:ret])

    meter = warm_up_then_measure(read_one, Meter())
    ftdi1.usb_close(ctx)
    ftdi1.free(ctx)
    meter.report("ftdi1", dropped_bytes=decoder.dropped_bytes)


if __name__ == "__main__":
    main()
