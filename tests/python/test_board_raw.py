"""_get_raw_data: the byte stream past the decoder, and the board's state around the read."""
import pytest

import _pyzum_zezudi_vu as m


@pytest.fixture
def unopened():
    return m.PCB_ROQ("NO-SUCH-BOARD", 16)


class TestArgument:
    @pytest.mark.parametrize("count", [2**31, 2**40, 2**63 - 1])
    def test_count_beyond_one_read_is_refused(self, unopened, count):
        with pytest.raises(ValueError, match="at most 2147483647"):
            unopened._get_raw_data(count)

    def test_negative_count_is_refused(self, unopened):
        with pytest.raises(ValueError):
            unopened._get_raw_data(-1)

    @pytest.mark.parametrize("count", [2**63, -(2**63) - 1, 10.0, "10", None])
    def test_unconvertible_count_is_a_type_error(self, unopened, count):
        with pytest.raises(TypeError):
            unopened._get_raw_data(count)

    def test_argument_is_positional_only(self, unopened):
        with pytest.raises(TypeError):
            unopened._get_raw_data(arg0=10)
        with pytest.raises(TypeError):
            unopened._get_raw_data(n=10)


class TestUnopenedBoard:
    def test_failed_read_raises_value_error(self, unopened):
        with pytest.raises(ValueError):
            unopened._get_raw_data(100)

    def test_failed_read_leaves_the_board_usable(self, unopened):
        with pytest.raises(ValueError):
            unopened._get_raw_data(100)
        unopened.stop()
        assert unopened.opened() is False
