// The module: registration only. Behaviour lives in the headers it wires together.
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "ftdi/ftdi_driver.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_pyzum_zezudi_vu, m, py::mod_gil_not_used()) {
    m.doc() = "\n        _pyzum_zezudi_vu\n        --------\n    ";

    m.def("list_pcb_roq", []() -> std::vector<std::string> {
        return FtdiDriver::find_by_manufacturer_and_description("ZUM", "PCB_ROQ");
    });
}
