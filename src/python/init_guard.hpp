#pragma once

#include <Python.h>

#include <pybind11/pybind11.h>

#include "python/live_board.hpp"

// `board.__init__(...)` on a board that is already built raises TypeError; the board stays as it was.
//
// pybind11 answers a second `__init__` itself, before any constructor of ours could see it: it returns None
// and the call looks successful although it did nothing. Only the function object that pybind11 put in the
// class can tell the two calls apart, so its entry point is wrapped: a call whose `self` holds a board is
// refused, every other call goes to pybind11 unchanged. The function object itself, its name, signature and
// docstring stay exactly as pybind11 made them.
namespace init_guard_detail {

// Set once, at import, before the first call.
inline PyCFunctionFastWithKeywords pybind11_entry = nullptr;

inline PyObject *guarded_init(PyObject *function_self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    if (nargs >= 1 && live_board_detail::has_board(live_board_detail::board_slot(args[0]))) {
        PyErr_SetString(PyExc_TypeError,
                        "PCB_ROQ.__init__() called on a board that is already initialised; a board cannot be"
                        " re-initialised, create a new PCB_ROQ instead");
        return nullptr;
    }
    return pybind11_entry(function_self, args, nargs, kwnames);
}

} // namespace init_guard_detail

// Once, at import, after `__init__` was defined on `cls`.
inline void refuse_second_init(pybind11::handle cls) {
    PyObject *entry = PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict, "__init__");
    if (entry == nullptr || !PyInstanceMethod_Check(entry)) {
        pybind11::pybind11_fail("PCB_ROQ.__init__ is not the instance method pybind11 defines");
    }
    PyObject *function = PyInstanceMethod_GET_FUNCTION(entry);
    if (!PyCFunction_Check(function) || PyCFunction_GET_FLAGS(function) != (METH_FASTCALL | METH_KEYWORDS)) {
        pybind11::pybind11_fail("PCB_ROQ.__init__ is not a fast-call function object");
    }
    PyMethodDef *def = reinterpret_cast<PyCFunctionObject *>(function)->m_ml;
    auto *current = reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)()>(def->ml_meth));
    if (current == &init_guard_detail::guarded_init) {
        return;
    }
    init_guard_detail::pybind11_entry = current;
    def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&init_guard_detail::guarded_init));
}
