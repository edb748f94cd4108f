// The module: registration only. Behaviour lives in the headers it wires together.
#include <memory>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "ftdi/ftdi_driver.hpp"
#include "python/init_guard.hpp"
#include "python/live_board.hpp"
#include "python/py_pcb_roq.hpp"
#include "python/raw_data.hpp"
#include "python/samples_array.hpp"
#include "python/timeout_caster.hpp"

namespace py = pybind11;

namespace {

constexpr const char *board_doc = R"(
        PCB_ROQ class
        --------
        A class to handle the PCB_ROQ device.
        Attributes
        ----------
        serial_number: str
            Serial number of the device.
        )";

constexpr const char *timeout_doc = R"(
                Timeout for the device operations in nanoseconds.
                )";

} // namespace

PYBIND11_MODULE(_pyzum_zezudi_vu, m, py::mod_gil_not_used()) {
    m.doc() = "\n        _pyzum_zezudi_vu\n        --------\n    ";

    m.def("list_pcb_roq", []() -> std::vector<std::string> {
        return FtdiDriver::find_by_manufacturer_and_description("ZUM", "PCB_ROQ");
    });

    // Control calls may wait for the acquisition thread or for another thread's raw read; neither needs Python.
    const py::call_guard<py::gil_scoped_release> detached;
    py::class_<py_PCB_ROQ, std::unique_ptr<py_PCB_ROQ>> board(m, "PCB_ROQ", board_doc);
    py::arg_v latency = py::arg("latency") = 255;
    py::arg_v samples_count = py::arg("samples_count") = 4096;
    // Every member takes `self` as a live_board, so an instance without a board refuses each of them.
    board.def(py::init(&make_py_PCB_ROQ), py::arg("serial_number"), samples_count, latency)
        .def_property_readonly("samples", [](live_board self) { return samples_array(*self); })
        .def("_get_raw_data", [](live_board self, long count) { return get_raw_data(*self, count); })
        .def("start", [](live_board self) { self->start(); }, detached)
        .def("stop", [](live_board self) { self->stop(); }, detached)
        .def_property(
            "timeout", [](live_board self) { return self->timeout(); },
            [](live_board self, std::chrono::nanoseconds value) { self->set_timeout(value); }, timeout_doc)
        .def("serial_number", [](live_board self) { return self->serial_number(); })
        .def("__repr__", [](live_board self) { return py_PCB_ROQ_repr(*self); })
        .def("opened", [](live_board self) { return self->opened(); })
        .def("flush", [](live_board self) { self->flush(); }, detached);
    refuse_second_init(board);
}
