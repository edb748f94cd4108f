#pragma once

#include <string>

#include <pybind11/pybind11.h>

#include "python/py_pcb_roq.hpp"

// `self` of every PCB_ROQ method and property: a board that its constructor built.
//
// pybind11 lets an instance exist without one (`PCB_ROQ.__new__(PCB_ROQ)`, copy.copy, an `__init__` that
// raised) and, asked for its C++ object, hands out freshly allocated, never constructed memory: methods would
// then run on garbage. Bound through this type instead, a call on such an instance raises TypeError before the
// method runs. Signatures still name the class, as for a plain `PCB_ROQ &`.
struct live_board {
    py_PCB_ROQ *board = nullptr;

    py_PCB_ROQ &operator*() const noexcept { return *board; }
    py_PCB_ROQ *operator->() const noexcept { return board; }
};

namespace live_board_detail {

// Any thread, attached. The instance's slot for the board; empty when `self` is no PCB_ROQ at all.
inline pybind11::detail::value_and_holder board_slot(pybind11::handle self) {
    namespace detail = pybind11::detail;
    detail::type_info *info = detail::get_type_info(typeid(py_PCB_ROQ));
    if (info == nullptr || !PyObject_TypeCheck(self.ptr(), info->type)) {
        return {};
    }
    return reinterpret_cast<detail::instance *>(self.ptr())->get_value_and_holder(info, false);
}

// The holder is constructed exactly when a constructor succeeded; the value pointer alone says nothing, since
// pybind11 fills it in lazily with unconstructed memory.
inline bool has_board(const pybind11::detail::value_and_holder &slot) {
    return slot.inst != nullptr && slot.holder_constructed() && slot.value_ptr() != nullptr;
}

[[noreturn]] inline void refuse_boardless(pybind11::handle self) {
    throw pybind11::type_error(Py_TYPE(self.ptr())->tp_name +
                               std::string(" object has no board: it was created without a successful __init__"
                                           " (for example through __new__ or a constructor that raised)"));
}

} // namespace live_board_detail

namespace pybind11::detail {

template <>
class type_caster<live_board> {
public:
    // Not a PCB_ROQ: false, so pybind11 reports the incompatible argument as usual. A PCB_ROQ without a board
    // raises here, which ends the call with that TypeError.
    bool load(handle src, bool /*convert*/) {
        const value_and_holder slot = live_board_detail::board_slot(src);
        if (slot.inst == nullptr) {
            return false;
        }
        if (!live_board_detail::has_board(slot)) {
            live_board_detail::refuse_boardless(src);
        }
        value.board = slot.value_ptr<py_PCB_ROQ>();
        return true;
    }

    static constexpr auto name = const_name<py_PCB_ROQ>();

    template <typename T>
    using cast_op_type = live_board;
    explicit operator live_board() const { return value; }

private:
    live_board value;
};

} // namespace pybind11::detail
