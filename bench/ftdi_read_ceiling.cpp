// (d) The ceiling: bare ftdi_read_data calls into one buffer, no decoding. To be sure the bytes are the
// stream and nothing was skipped, the frame counter of one frame per read is compared with the count of
// bytes received so far. Prints one JSON object like the Python runs.
#include <dlfcn.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <ftdi.h>

#include "pcb_roq_sim.h"

namespace {

constexpr int samples_count = 4096;
constexpr int frame_bytes = 12;
constexpr int read_bytes = frame_bytes * samples_count;

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double env_seconds(const char *name, double fallback) {
    const char *text = std::getenv(name);
    return text != nullptr ? std::atof(text) : fallback;
}

[[noreturn]] void fail(const std::string &what, ftdi_context *ctx) {
    std::fprintf(stderr, "%s: %s\n", what.c_str(), ctx != nullptr ? ftdi_get_error_string(ctx) : "");
    std::exit(1);
}

// The simulator's counters of what its chip lost and delivered, when it is preloaded.
struct ChipCounts {
    std::int64_t lost = 0;
    std::int64_t delivered = 0;
};

ChipCounts chip_counts(const std::string &serial) {
    using find_fn = int (*)(const char *);
    using stats_fn = int (*)(int, pcb_roq_sim_device_stats *);
    auto find = reinterpret_cast<find_fn>(dlsym(RTLD_DEFAULT, "pcb_roq_sim_find"));
    auto stats = reinterpret_cast<stats_fn>(dlsym(RTLD_DEFAULT, "pcb_roq_sim_get_device_stats"));
    pcb_roq_sim_device_stats s{};
    if (find == nullptr || stats == nullptr || stats(find(serial.c_str()), &s) != 0) {
        return {};
    }
    return {s.bytes_lost, s.bytes_delivered};
}

// The preloaded simulator streams as fast as it is read once told so; on real hardware there is nothing to set.
void unlimited_rate(const std::string &serial) {
    using find_fn = int (*)(const char *);
    using rate_fn = int (*)(int, double);
    auto find = reinterpret_cast<find_fn>(dlsym(RTLD_DEFAULT, "pcb_roq_sim_find"));
    auto rate = reinterpret_cast<rate_fn>(dlsym(RTLD_DEFAULT, "pcb_roq_sim_set_rate"));
    if (find == nullptr || rate == nullptr) {
        return;
    }
    const int index = find(serial.c_str());
    if (index < 0 || rate(index, 0.0) != 0) {
        fail("simulated board " + serial + " not found", nullptr);
    }
}

void open_by_serial(ftdi_context *ctx, const std::string &serial) {
    ftdi_device_list *devices = nullptr;
    if (ftdi_usb_find_all(ctx, &devices, 0, 0) < 0) {
        fail("ftdi_usb_find_all", ctx);
    }
    for (ftdi_device_list *node = devices; node != nullptr; node = node->next) {
        char found[128] = {};
        if (ftdi_usb_get_strings(ctx, node->dev, nullptr, 0, nullptr, 0, found, sizeof found) == 0 &&
            serial == found) {
            const int opened = ftdi_usb_open_dev(ctx, node->dev);
            ftdi_list_free(&devices);
            if (opened != 0) {
                fail("ftdi_usb_open_dev", ctx);
            }
            return;
        }
    }
    ftdi_list_free(&devices);
    fail(serial + " not found", nullptr);
}

std::uint32_t frame_counter(const unsigned char *frame) {
    return static_cast<std::uint32_t>(frame[2]) | static_cast<std::uint32_t>(frame[3]) << 8 |
           static_cast<std::uint32_t>(frame[4]) << 16 | static_cast<std::uint32_t>(frame[5]) << 24;
}

} // namespace

int main() {
    const char *serial_env = std::getenv("PYZUM_BENCH_SERIAL");
    const std::string serial = serial_env != nullptr ? serial_env : "SIM0001";
    const double duration = env_seconds("PYZUM_BENCH_SECONDS", 3.0);
    // At a real rate the board keeps the rate it was configured with, and the run reports what the chip lost.
    const bool real_rate = std::getenv("PYZUM_RR_REAL") != nullptr;
    if (!real_rate) {
        unlimited_rate(serial);
    }

    ftdi_context *ctx = ftdi_new();
    if (ctx == nullptr) {
        fail("ftdi_new", nullptr);
    }
    ftdi_set_interface(ctx, INTERFACE_A);
    open_by_serial(ctx, serial);
    if (ftdi_set_bitmode(ctx, 0xFF, BITMODE_SYNCFF) != 0) {
        fail("ftdi_set_bitmode", ctx);
    }
    ftdi_set_latency_timer(ctx, 255);
    ftdi_tcioflush(ctx);

    std::vector<unsigned char> buffer(read_bytes + frame_bytes);
    using clock = std::chrono::steady_clock;

    // Anchor: the first frame boundary of the stream and its counter.
    std::uint64_t received = 0;  // stream bytes since the anchor read began
    std::int64_t anchor = -1;    // offset of the first frame boundary within the stream
    std::uint32_t anchor_counter = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t measured_bytes = 0;
    const auto warm_end = clock::now() + std::chrono::milliseconds(300);
    bool measuring = false;
    clock::time_point begin{};
    double cpu_begin = 0;
    ChipCounts counts_begin;

    for (;;) {
        const auto now = clock::now();
        if (!measuring && (real_rate || now >= warm_end)) {
            measuring = true;
            begin = now;
            cpu_begin = process_cpu_seconds();
            counts_begin = chip_counts(serial);
        }
        if (measuring && now - begin >= std::chrono::duration<double>(duration)) {
            break;
        }
        const int got = ftdi_read_data(ctx, buffer.data(), read_bytes);
        if (got < 0) {
            fail("ftdi_read_data", ctx);
        }
        if (anchor < 0) {
            for (int i = 0; i + frame_bytes + 1 < got; ++i) {
                if (buffer[i] == 0xF0 && buffer[i + 1] == 0x0F && buffer[i + frame_bytes] == 0xF0 &&
                    buffer[i + frame_bytes + 1] == 0x0F) {
                    anchor = static_cast<std::int64_t>(received) + i;
                    anchor_counter = frame_counter(&buffer[i]);
                    break;
                }
            }
        } else {
            // The first whole frame of this read.
            const std::uint64_t since = received - static_cast<std::uint64_t>(anchor);
            const std::uint64_t skip = (frame_bytes - since % frame_bytes) % frame_bytes;
            if (skip + frame_bytes <= static_cast<std::uint64_t>(got)) {
                const unsigned char *frame = &buffer[skip];
                const auto expected = static_cast<std::uint32_t>(anchor_counter + (since + skip) / frame_bytes);
                if (frame[0] != 0xF0 || frame[1] != 0x0F || frame_counter(frame) != expected) {
                    ++mismatches;
                }
            }
        }
        received += static_cast<std::uint64_t>(got);
        if (measuring) {
            measured_bytes += static_cast<std::uint64_t>(got);
        }
    }
    const double wall = std::chrono::duration<double>(clock::now() - begin).count();
    const double cpu = process_cpu_seconds() - cpu_begin;
    const ChipCounts counts_end = chip_counts(serial);
    const auto lost = counts_end.lost - counts_begin.lost;
    const auto stream = lost + counts_end.delivered - counts_begin.delivered;
    ftdi_usb_close(ctx);
    ftdi_free(ctx);

    const double gb = static_cast<double>(measured_bytes) / 1e9;
    std::printf("{\"name\": \"ftdi_read_data (C++)\", \"bytes\": %llu, \"frames\": %llu, \"seconds\": %.4f, "
                "\"cpu_seconds\": %.4f, \"mb_per_s\": %.2f, \"cpu_s_per_gb\": %.3f, \"checked_reads_failed\": %llu, "
                "\"contiguous\": %s, \"lost_bytes\": %lld, \"stream_bytes\": %lld, \"lost_share\": %.6g, "
                "\"cpu_share\": %.3f}\n",
                static_cast<unsigned long long>(measured_bytes),
                static_cast<unsigned long long>(measured_bytes / frame_bytes), wall, cpu,
                static_cast<double>(measured_bytes) / 1e6 / wall, gb > 0 ? cpu / gb : 0.0,
                static_cast<unsigned long long>(mismatches), anchor >= 0 && mismatches == 0 ? "true" : "false",
                static_cast<long long>(lost), static_cast<long long>(stream),
                stream > 0 ? static_cast<double>(lost) / static_cast<double>(stream) : 0.0, wall > 0 ? cpu / wall : 0.0);
    return 0;
}
