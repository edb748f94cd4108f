"""PCB_ROQ as Python sees it: its members, their kinds, signatures, docstrings and repr."""
import pytest

import _pyzum_zezudi_vu as m

CLASS_DOC = (
    "\n        PCB_ROQ class\n        --------\n        A class to handle the PCB_ROQ device.\n"
    "        Attributes\n        ----------\n        serial_number: str\n"
    "            Serial number of the device.\n        "
)
TIMEOUT_DOC = "\n                Timeout for the device operations in nanoseconds.\n                "
MEMBERS = ["__init__", "samples", "_get_raw_data", "start", "stop", "timeout", "serial_number", "__repr__",
           "opened", "flush"]


@pytest.fixture
def board():
    return m.PCB_ROQ("NO-SUCH-BOARD", 16)


class TestClass:
    def test_identity(self):
        assert m.PCB_ROQ.__module__ == "_pyzum_zezudi_vu"
        assert m.PCB_ROQ.__qualname__ == "PCB_ROQ"

    def test_members_in_registration_order(self):
        own = [n for n in vars(m.PCB_ROQ) if n in MEMBERS or not n.startswith(("__", "_pybind11"))]
        assert own == MEMBERS

    def test_docstrings_are_exact(self):
        assert m.PCB_ROQ.__doc__ == CLASS_DOC
        assert m.PCB_ROQ.timeout.__doc__ == TIMEOUT_DOC
        assert m.PCB_ROQ.samples.__doc__ == ""

    def test_methods_carry_only_their_signature_line(self):
        for name in ["_get_raw_data", "start", "stop", "serial_number", "__repr__", "opened", "flush"]:
            doc = getattr(m.PCB_ROQ, name).__doc__
            assert doc.startswith(name + "(") and doc.count("\n") == 1, name

    def test_constructor_signature(self):
        line = m.PCB_ROQ.__init__.__doc__.splitlines()[0]
        assert line.startswith("__init__(self")
        assert ", serial_number: str, samples_count: " in line
        assert line.endswith(" = 4096, latency: typing.SupportsInt | typing.SupportsIndex = 255) -> None")

    def test_rendered_types(self):
        assert m.PCB_ROQ._get_raw_data.__doc__.rstrip().endswith(") -> numpy.typing.NDArray[numpy.uint8]")
        assert m.PCB_ROQ.timeout.fget.__doc__.rstrip().endswith("-> datetime.timedelta | None")
        assert m.PCB_ROQ.timeout.fset.__doc__.rstrip().endswith("datetime.timedelta) -> None")
        assert m.PCB_ROQ.samples.fget.__doc__.rstrip().endswith("-> object")
        assert m.PCB_ROQ.opened.__doc__.rstrip().endswith("-> bool")

    def test_subclass_inherits_everything(self):
        class Board(m.PCB_ROQ):
            def describe(self):
                return f"{self.serial_number()} open={self.opened()}"

        b = Board("NO-SUCH-BOARD", 16)
        assert b.describe() == "NO-SUCH-BOARD open=False"
        assert repr(b) == "PCB_ROQ(serial_number='NO-SUCH-BOARD')"

    def test_instances_compare_by_identity(self, board):
        other = m.PCB_ROQ("NO-SUCH-BOARD", 16)
        assert board != other and board == board
        assert hash(board) != hash(other)


class TestKinds:
    def test_methods_are_methods(self, board):
        assert callable(board.serial_number) and not isinstance(board.serial_number, str)
        assert callable(board.opened) and not isinstance(board.opened, bool)
        assert board.serial_number() == "NO-SUCH-BOARD"
        assert board.opened() is False

    def test_samples_is_read_only(self, board):
        assert isinstance(m.PCB_ROQ.samples, property) and m.PCB_ROQ.samples.fset is None
        with pytest.raises(AttributeError):
            board.samples = None

    def test_timeout_cannot_be_deleted(self, board):
        with pytest.raises(AttributeError):
            del board.timeout

    def test_no_instance_dict(self, board):
        assert not hasattr(board, "__dict__")
        with pytest.raises(AttributeError):
            board.colour = "red"


class TestRepr:
    def test_repr_quotes_the_serial_number(self, board):
        assert repr(board) == "PCB_ROQ(serial_number='NO-SUCH-BOARD')"

    def test_serial_number_inserted_as_is(self):
        assert repr(m.PCB_ROQ("it's ünïcode", 16)) == "PCB_ROQ(serial_number='it's ünïcode')"

    def test_invalid_utf8_serial_raises_on_decode(self):
        b = m.PCB_ROQ(b"\xff\xfe", 16)
        with pytest.raises(UnicodeDecodeError):
            b.serial_number()
        with pytest.raises(UnicodeDecodeError):
            repr(b)
