"""Constructor arguments: defaults, keywords, conversions, and refusals that touch no device."""
import datetime
import decimal

import numpy as np
import pytest

import _pyzum_zezudi_vu as m
from board_fixtures import SERIAL, device, open_board  # noqa: F401

td = datetime.timedelta


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def block_shape(board):
    board.timeout = td(seconds=10)
    board.start()
    shape = board.samples.shape
    board.stop()
    return shape


class TestDefaults:
    @pytest.mark.parametrize(
        "args, kwargs",
        [((SERIAL,), {}), ((SERIAL, 4096, 255), {}), ((), {"serial_number": SERIAL, "samples_count": 4096,
                                                          "latency": 255}), ((SERIAL,), {"latency": 0})],
    )
    def test_default_samples_count_is_4096(self, open_board, args, kwargs):
        assert block_shape(open_board(*args, timeout=None, **kwargs)) == (4096, 5)

    @pytest.mark.parametrize("latency", [0, 1, 255])
    def test_latency_timer_is_always_255_ms(self, open_board, device, latency):
        board = open_board(samples_count=16, latency=latency)
        assert board.opened()
        assert device.stats.latency_timer == 255

    def test_keywords_in_any_order(self, open_board):
        board = open_board(latency=3, samples_count=32, serial_number=SERIAL)
        assert block_shape(board) == (32, 5)


class TestConversions:
    def test_bytes_serial_opens_like_str(self, open_board):
        board = open_board(SERIAL.encode(), 16)
        assert board.opened() and board.serial_number() == SERIAL

    def test_bytearray_serial_opens_like_str(self, open_board):
        board = open_board(bytearray(SERIAL.encode()), 16)
        assert board.opened() and board.serial_number() == SERIAL

    @pytest.mark.parametrize("count", [np.int64(24), Index(24), decimal.Decimal(24)])
    def test_index_convertible_samples_count(self, open_board, count):
        assert block_shape(open_board(samples_count=count)) == (24, 5)

    def test_numpy_latency(self, open_board):
        assert open_board(samples_count=16, latency=np.uint8(200)).opened()


class TestRefusals:
    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            ((1234,), {}),
            ((None,), {}),
            (("\udc80",), {}),  # a lone surrogate has no UTF-8 encoding
            ((SERIAL, -1), {}),
            ((SERIAL, 4096.0), {}),
            ((SERIAL, 2**64), {}),
            ((SERIAL, 4096, 256), {}),
            ((SERIAL, 4096, -1), {}),
            ((SERIAL, 4096, 1.0), {}),
            ((SERIAL,), {"latency": 256}),
            ((SERIAL,), {"samples": 16}),
            ((SERIAL, 16, 1, 2), {}),
            ((SERIAL,), {"serial_number": SERIAL}),
        ],
    )
    def test_type_error_before_any_device_access(self, device, args, kwargs):
        with pytest.raises(TypeError):
            m.PCB_ROQ(*args, **kwargs)
        assert device.stats.opens == 0

    @pytest.mark.parametrize("count", [0, 1, 2**31, 2**64 - 1])
    def test_unusable_samples_count_is_a_value_error_before_any_device_access(self, device, count):
        with pytest.raises(ValueError, match="samples_count"):
            m.PCB_ROQ(SERIAL, count)
        assert device.stats.opens == 0
