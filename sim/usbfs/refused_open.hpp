#pragma once

#include <cstdint>
#include <string>

namespace pcb_roq_sim {

// From now on open() of `path` (a device node, /dev/bus/usb/...) fails with EACCES, or no longer does. Any thread.
void set_refused(const std::string &path, bool refuse);
// How many opens of `path` were refused since the last call.
std::int64_t take_refusals(const std::string &path);

} // namespace pcb_roq_sim
