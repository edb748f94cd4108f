#pragma once

#include <Python.h>

#include <atomic>

#include <pybind11/pybind11.h>

#include "python/live_board.hpp"

// `board.__init__(...)` on a board that is already built raises TypeError; the board stays as it was.
//
// pybind11 answers a second `__init__` itself, before any constructor of ours could see it: it returns None
// and the call looks successful although it did nothing. Only the function object that pybind11 put in the
// class can tell the two calls apart, so its entry point is wrapped: a call whose `self` holds a board is
// refused, every other call goes to pybind11 unchanged. The function object itself, its name, signature and
// docstring stay exactly as pybind11 made them.
//
// The check and the construction are one step for every thread: without the GIL two threads could both find
// no board and both build one, the second overwriting the first. One lock serialises all `__init__` calls;
// PyMutex waits detached from the interpreter, so a waiting thread never stalls a stop-the-world pause. A call
// made from inside a construction on the same thread (an argument's `__index__` calling `__init__`) is
// refused instead of waiting for itself.
namespace init_guard_detail {

// Set once, at import, before the first call.
inline PyCFunctionFastWithKeywords pybind11_entry = nullptr;
inline PyMutex init_mutex{};
// The thread holding init_mutex (0: none). Compared only against the caller's own id, which only the caller
// itself ever stores, so a stale value never matches.
inline std::atomic<unsigned long> init_owner{0};

inline PyObject *refuse(const char *message) {
    PyErr_SetString(PyExc_TypeError, message);
    return nullptr;
}

// Any Python thread, attached. On an exception (a refusal included) the board is as it was.
inline PyObject *guarded_init(PyObject *function_self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    const unsigned long me = PyThread_get_thread_ident();
    if (init_owner.load() == me) {
        return refuse("PCB_ROQ.__init__() called while this thread is initialising a board");
    }
    PyMutex_Lock(&init_mutex);
    init_owner.store(me);
    PyObject *result = nullptr;
    if (nargs >= 1 && live_board_detail::has_board(live_board_detail::board_slot(args[0]))) {
        result = refuse("PCB_ROQ.__init__() called on a board that is already initialised; a board cannot be"
                        " re-initialised, create a new PCB_ROQ instead");
    } else {
        result = pybind11_entry(function_self, args, nargs, kwnames);
    }
    init_owner.store(0);
    PyMutex_Unlock(&init_mutex);
    return result;
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
