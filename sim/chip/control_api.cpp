// The C control API of pcb_roq_sim.h.
#include <cmath>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "frame_pattern.hpp"
#include "pcb_roq_sim.h"
#include "sim_bus.hpp"

using pcb_roq_sim::SimBus;
using pcb_roq_sim::SimDevice;
using Clock = SimBus::Clock;

namespace {

thread_local std::string last_error;

SimBus &sim() { return pcb_roq_sim::sim_bus(); }

int fail(const std::string &why) noexcept {
    try {
        last_error = why;
    } catch (...) {
        last_error.clear(); // no memory even for the reason: report the failure without one
    }
    return -1;
}

// Nothing may throw into a C caller: a failure (an allocation, say) becomes -1 with its reason.
template <typename Call>
int checked(Call call) noexcept {
    try {
        return call();
    } catch (const std::exception &e) {
        return fail(e.what());
    } catch (...) {
        return fail("unexpected failure");
    }
}

int on_device(int device, const std::function<int(SimDevice &, Clock::time_point)> &change) {
    return checked([&] { return sim().with_device(device, last_error, change); });
}

std::vector<std::uint64_t> as_vector(const uint64_t *values, size_t count) {
    return values == nullptr ? std::vector<std::uint64_t>{} : std::vector<std::uint64_t>(values, values + count);
}

} // namespace

extern "C" {

size_t pcb_roq_sim_stats_size(void) { return sizeof(pcb_roq_sim_stats); }

size_t pcb_roq_sim_device_stats_size(void) { return sizeof(pcb_roq_sim_device_stats); }

const char *pcb_roq_sim_last_error(void) { return last_error.c_str(); }

int pcb_roq_sim_configure(const char *spec) { return checked([&] { return sim().configure(spec, last_error); }); }

int pcb_roq_sim_reset(void) { return checked([&] { return sim().reset(last_error); }); }

int pcb_roq_sim_add_device(const char *device_spec) { return checked([&] { return sim().add_device(device_spec, last_error); }); }

int pcb_roq_sim_device_count(void) { return checked([&] { return sim().device_count(); }); }

int pcb_roq_sim_find(const char *serial) { return checked([&] { return sim().find(serial); }); }

int pcb_roq_sim_set_latency_scale(double scale) { return checked([&] { return sim().set_latency_scale(scale, last_error); }); }

double pcb_roq_sim_latency_scale(void) {
    try {
        return sim().latency_scale();
    } catch (...) {
        return -1;
    }
}

int pcb_roq_sim_fail_init(int count) {
    if (count < -1) {
        return fail("count must be -1 (always), 0 (never) or a positive number of calls");
    }
    return checked([&] { return sim().fail_init(count, last_error); });
}

int pcb_roq_sim_set_rate(int device, double bytes_per_second) {
    if (!std::isfinite(bytes_per_second) || bytes_per_second < 0) {
        return fail("the rate must be a finite number of bytes per second, 0 for unlimited");
    }
    return on_device(device, [&](SimDevice &d, Clock::time_point now) {
        d.chip.set_rate(bytes_per_second, now);
        return 0;
    });
}

int pcb_roq_sim_set_fifo_size(int device, uint64_t bytes) {
    if (bytes == 0) {
        return fail("the FIFO must hold at least one byte");
    }
    return on_device(device, [&](SimDevice &d, Clock::time_point now) {
        d.chip.set_fifo_size(bytes, now);
        return 0;
    });
}

int pcb_roq_sim_set_raw_stream(int device, const unsigned char *bytes, size_t count, int repeat) {
    if (bytes == nullptr && count > 0) {
        return fail("no bytes given");
    }
    return checked([&] {
        std::vector<unsigned char> copy(bytes, bytes + count);
        return on_device(device, [&](SimDevice &d, Clock::time_point now) {
            d.chip.stream().use_raw(std::move(copy), repeat != 0);
            d.chip.restart_stream(now);
            return 0;
        });
    });
}

int pcb_roq_sim_set_pattern(int device, uint32_t first_frame) {
    return on_device(device, [&](SimDevice &d, Clock::time_point now) {
        d.chip.stream().use_pattern(first_frame);
        d.chip.restart_stream(now);
        return 0;
    });
}

int pcb_roq_sim_refuse_open(int device, int refuse) {
    return on_device(device, [&](SimDevice &d, Clock::time_point) {
        d.config.refuse_open = refuse != 0;
        return 0;
    });
}

int pcb_roq_sim_unplug(int device, double delay_ms) {
    if (!std::isfinite(delay_ms) || delay_ms < 0) {
        return fail("the delay must be a finite, non-negative number of milliseconds");
    }
    return on_device(device, [&](SimDevice &d, Clock::time_point now) {
        if (delay_ms == 0) {
            sim().unplug(d);
        } else if (d.plugged) {
            d.unplug_at = now + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double, std::milli>(delay_ms));
        }
        return 0;
    });
}

int pcb_roq_sim_unplug_after_bytes(int device, uint64_t count) {
    return on_device(device, [&](SimDevice &d, Clock::time_point now) {
        if (count == 0) {
            sim().unplug(d);
        } else if (d.plugged) {
            d.chip.set_delivery_limit(count, now);
        }
        return 0;
    });
}

int pcb_roq_sim_replug(int device) {
    return on_device(device, [&](SimDevice &d, Clock::time_point now) {
        sim().replug(d, now);
        return 0;
    });
}

int pcb_roq_sim_fail_bulk_read(int device, uint64_t nth, int libusb_error) {
    if (libusb_error >= 0) {
        return fail("the error must be a negative LIBUSB_ERROR code");
    }
    return on_device(device, [&](SimDevice &d, Clock::time_point) {
        d.fail_read_countdown = nth;
        d.fail_read_code = libusb_error;
        return 0;
    });
}

int pcb_roq_sim_drop_bytes(int device, const uint64_t *offsets, size_t count) {
    return checked([&] {
        const auto values = as_vector(offsets, count);
        return on_device(device, [&](SimDevice &d, Clock::time_point) {
            d.chip.stream().drop_bytes(values);
            return 0;
        });
    });
}

int pcb_roq_sim_corrupt_sync(int device, const uint64_t *frames, size_t count) {
    return checked([&] {
        const auto values = as_vector(frames, count);
        return on_device(device, [&](SimDevice &d, Clock::time_point) {
            d.chip.stream().corrupt_frames(values);
            return 0;
        });
    });
}

int pcb_roq_sim_pause(int device, int paused) {
    return on_device(device, [&](SimDevice &d, Clock::time_point now) {
        d.chip.set_paused(paused != 0, now);
        return 0;
    });
}

const char *pcb_roq_sim_front_end(void) { return sim().front_end(); }

int pcb_roq_sim_stall_bulk_in(int device, uint64_t nth) {
    if (!sim().plays_usbfs_faults()) {
        return fail(std::string("not supported by this front end (") + sim().front_end() + ")");
    }
    return on_device(device, [&](SimDevice &d, Clock::time_point) {
        d.stall_countdown = nth;
        return 0;
    });
}

int pcb_roq_sim_race_discard(int device, int on) {
    if (!sim().plays_usbfs_faults()) {
        return fail(std::string("not supported by this front end (") + sim().front_end() + ")");
    }
    return on_device(device, [&](SimDevice &d, Clock::time_point) {
        d.race_discard = on != 0;
        return 0;
    });
}

int pcb_roq_sim_delay_discard(int device, double delay_ms) {
    if (!sim().plays_usbfs_faults()) {
        return fail(std::string("not supported by this front end (") + sim().front_end() + ")");
    }
    if (!std::isfinite(delay_ms) || delay_ms < 0) {
        return fail("the delay must be a finite, non-negative number of milliseconds");
    }
    return on_device(device, [&](SimDevice &d, Clock::time_point) {
        d.discard_delay_ms = delay_ms;
        return 0;
    });
}

int pcb_roq_sim_set_urb_memory_limit(uint64_t bytes) {
    return checked([&] { return sim().set_urb_memory_limit(bytes, last_error); });
}

int pcb_roq_sim_get_stats(struct pcb_roq_sim_stats *out) {
    if (out == nullptr) {
        return fail("no output given");
    }
    return checked([&] {
        sim().get_stats(*out);
        return 0;
    });
}

int pcb_roq_sim_get_device_stats(int device, struct pcb_roq_sim_device_stats *out) {
    if (out == nullptr) {
        return fail("no output given");
    }
    return on_device(device, [&](SimDevice &d, Clock::time_point now) {
        const auto &chip = d.chip.counters();
        pcb_roq_sim_device_stats s{};
        s.plugged = d.plugged ? 1 : 0;
        s.opens = d.opens;
        s.closes = d.closes;
        s.open_refusals = d.open_refusals;
        s.claimed_interface = d.claimed_by != nullptr ? 0 : -1;
        s.last_claimed_interface = d.last_claimed_interface;
        s.configuration = d.configuration;
        s.bit_mode = d.chip.bit_mode();
        s.bit_mask = d.chip.bit_mask();
        s.latency_timer = d.chip.latency_ms();
        s.resets = chip.resets;
        s.purges_rx = chip.purges_rx;
        s.purges_tx = chip.purges_tx;
        s.baud_rate_requests = chip.baud_rate_requests;
        s.control_requests = chip.control_requests;
        s.bulk_reads = d.bulk_reads;
        s.bulk_read_errors = d.bulk_read_errors;
        s.bytes_delivered = chip.bytes_delivered;
        s.bytes_lost = chip.bytes_lost;
        s.bytes_lost_streaming = chip.bytes_lost_streaming;
        s.bytes_dropped = chip.bytes_dropped;
        s.status_only_packets = chip.status_only_packets;
        s.bytes_written = d.bytes_written;
        const std::uint64_t offset = d.chip.stream_offset(now);
        s.stream_offset = static_cast<std::int64_t>(offset);
        s.frame_index = static_cast<std::int64_t>(offset / pcb_roq_sim::frame_size);
        *out = s;
        return 0;
    });
}

void pcb_roq_sim_pattern_frame(uint32_t index, unsigned char out[12]) {
    unsigned char frame[pcb_roq_sim::frame_size];
    pcb_roq_sim::pattern_frame(index, frame);
    std::copy(frame, frame + pcb_roq_sim::frame_size, out);
}

} // extern "C"
