// _pyzum_zezudi_vu_health: what a board's acquisition thread and read path counted, for the companion package.
// A module of its own, so that the extension's surface stays as it is; built in the same tree, it shares the
// board's type with the extension through pybind11's registry.
#include <pybind11/pybind11.h>

#include <string>

#include "health/counter_table.hpp"
#include "python/live_board.hpp"

namespace py = pybind11;

namespace {

const char *kind_name(counter_kind kind) {
    switch (kind) {
    case counter_kind::count: return "count";
    case counter_kind::seconds: return "seconds";
    case counter_kind::gauge: return "gauge";
    }
    return "count";
}

} // namespace

PYBIND11_MODULE(_pyzum_zezudi_vu_health, m, py::mod_gil_not_used()) {
    m.doc() = "Counters of a _pyzum_zezudi_vu.PCB_ROQ; the companion package's health() reads them.";
    py::list rows;
    for (const counter_row &row : counter_table) {
        rows.append(py::make_tuple(std::string(row.name), kind_name(row.kind), row.shows_damage,
                                   std::string(row.meaning)));
    }
    // (name, kind, shows_damage, meaning) per counter, in the order counters() gives them.
    m.attr("COUNTERS") = py::tuple(rows);
    // Any thread: every counter is read on its own, so a snapshot taken while acquiring may mix two reads.
    m.def("counters", [](live_board self) {
        const board_counters c{self->decoder.counters.read(), self->decoder.device.read_counters()};
        py::dict d;
        for (const counter_row &row : counter_table) {
            const std::uint64_t value = row.value(c);
            py::str name(row.name.data(), row.name.size());
            if (row.kind == counter_kind::seconds) {
                d[name] = static_cast<double>(value) / 1e9;
            } else {
                d[name] = value;
            }
        }
        return d;
    }, py::arg("board"));
}
