#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pcb_roq_sim.h"

// Every test starts on a fresh bus (one default board, SIM0001, fast latency timer) and ends by checking
// that the code under test gave back everything it took from libusb. The board writes only as fast as the host
// reads (rate=unlimited), so tests of the stream's content see every byte whatever the host's timing; tests of
// timing and loss set a real rate.
class SimTest : public ::testing::Test {
protected:
    static constexpr double fast_latency = 0.02; // 255 ms become 5.1 ms

    void SetUp() override {
        ASSERT_EQ(pcb_roq_sim_configure("board,rate=unlimited"), 1) << pcb_roq_sim_last_error();
        ASSERT_EQ(pcb_roq_sim_set_latency_scale(fast_latency), 0);
        ASSERT_EQ(pcb_roq_sim_fail_init(0), 0);
    }

    void TearDown() override {
        // On the usbfs front end a closed device file is noticed a moment after close() returns.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!all_given_back() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const pcb_roq_sim_stats t = totals();
        EXPECT_EQ(t.live_handles, 0) << "device handles left open";
        EXPECT_EQ(t.live_contexts, 0) << "libusb contexts never exited";
        EXPECT_EQ(t.live_devices, 0) << "device references never released";
        EXPECT_EQ(t.live_transfers, 0) << "transfers never freed";
        EXPECT_EQ(t.live_config_descriptors, 0) << "config descriptors never freed";
        for (int i = 0; i < pcb_roq_sim_device_count(); ++i) {
            const pcb_roq_sim_device_stats s = stats(i);
            EXPECT_EQ(s.opens, s.closes) << "device " << i;
        }
    }

    static bool all_given_back() {
        const pcb_roq_sim_stats t = totals();
        bool done = t.live_handles == 0 && t.live_transfers == 0;
        for (int i = 0; i < pcb_roq_sim_device_count(); ++i) {
            const pcb_roq_sim_device_stats s = stats(i);
            done = done && s.opens == s.closes;
        }
        return done;
    }

    // What only the libusb stand-in can show: libusb's own objects, and a libusb_init that fails.
    static bool on_stand_in() { return std::string(pcb_roq_sim_front_end()) == "libusb"; }

    void configure(const char *spec) { ASSERT_GE(pcb_roq_sim_configure(spec), 0) << pcb_roq_sim_last_error(); }

    static pcb_roq_sim_stats totals() {
        pcb_roq_sim_stats t{};
        pcb_roq_sim_get_stats(&t);
        return t;
    }

    static pcb_roq_sim_device_stats stats(int device = 0) {
        pcb_roq_sim_device_stats s{};
        EXPECT_EQ(pcb_roq_sim_get_device_stats(device, &s), 0) << pcb_roq_sim_last_error();
        return s;
    }
};

// Bytes [offset, offset + count) of the default pattern stream starting at frame 0.
inline std::vector<unsigned char> pattern_bytes(std::uint64_t offset, std::size_t count) {
    std::vector<unsigned char> out;
    out.reserve(count);
    unsigned char frame[12];
    for (std::uint64_t at = offset; at < offset + count; ++at) {
        if (out.empty() || at % 12 == 0) {
            pcb_roq_sim_pattern_frame(static_cast<std::uint32_t>(at / 12), frame);
        }
        out.push_back(frame[at % 12]);
    }
    return out;
}
