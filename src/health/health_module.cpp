// _pyzum_zezudi_vu_health: what a board's acquisition thread and read path counted, for the companion package.
// A module of its own, so that the extension's surface stays as it is; built in the same tree, it shares the
// board's type with the extension through pybind11's registry.
#include <pybind11/pybind11.h>

#include "python/live_board.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_pyzum_zezudi_vu_health, m, py::mod_gil_not_used()) {
    m.doc() = "Counters of a _pyzum_zezudi_vu.PCB_ROQ; the companion package's health() reads them.";
    // Any thread: every counter is read on its own, so a snapshot taken while acquiring may mix two reads.
    m.def("counters", [](live_board self) {
        const auto c = self->decoder.counters.read();
        const auto r = self->decoder.device.read_counters();
        py::dict d;
        d["stream_bytes"] = c.stream_bytes;
        d["full_reads"] = c.full_reads;
        d["short_reads"] = c.short_reads;
        d["failed_reads"] = c.failed_reads;
        d["resynchronisations"] = c.resynchronisations;
        d["bytes_skipped"] = c.bytes_skipped;
        d["bytes_skipped_at_start"] = c.bytes_skipped_at_start;
        d["frames_decoded"] = c.frames_decoded;
        d["frames_without_sync"] = c.frames_without_sync;
        d["partial_frame_bytes"] = c.partial_frame_bytes;
        d["blocks_delivered"] = c.blocks_delivered;
        d["partial_blocks"] = c.partial_blocks;
        d["partial_block_rows"] = c.partial_block_rows;
        d["empty_blocks_returned"] = c.empty_blocks_returned;
        d["wait_for_block_ns"] = c.wait_for_block_ns;
        d["transfers_completed"] = r.transfers_completed;
        d["transfers_failed"] = r.transfers_failed;
        d["transfers_in_flight"] = r.in_flight;
        d["most_held_bytes"] = r.most_held;
        d["transfers_ran_out"] = r.transfers_ran_out;
        d["transfers_refused"] = r.transfers_refused;
        d["transfer_queue_depth"] = r.queue_depth;
        d["stalls_cleared"] = r.stalls_cleared;
        return d;
    }, py::arg("board"));
}
