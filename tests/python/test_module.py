"""The module as Python imports it: its docstring, its names and the board listing."""
import pytest

import _pyzum_zezudi_vu as m


def test_module_docstring_is_exact():
    assert m.__doc__ == "\n        _pyzum_zezudi_vu\n        --------\n    "


def test_module_defines_only_its_own_names():
    own = {name for name in dir(m) if not name.startswith("__")}
    assert own <= {"list_pcb_roq", "PCB_ROQ"}
    assert "list_pcb_roq" in own


def test_list_pcb_roq_returns_a_list_of_str():
    boards = m.list_pcb_roq()
    assert isinstance(boards, list)
    assert all(isinstance(s, str) for s in boards)


def test_list_pcb_roq_takes_no_arguments():
    with pytest.raises(TypeError):
        m.list_pcb_roq(1)
