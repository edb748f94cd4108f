#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

#include <pybind11/pybind11.h>

#include "channels/channel.hpp"

namespace get_samples_detail {

// deadline - now, clamped to the duration's range instead of wrapping: a deadline near the clock's most
// negative point (a timeout near the most negative one) lies further in the past than a duration can hold.
inline std::chrono::nanoseconds time_left(std::chrono::steady_clock::time_point deadline,
                                          std::chrono::steady_clock::time_point now) noexcept {
    std::chrono::nanoseconds::rep left = 0;
    if (__builtin_sub_overflow(deadline.time_since_epoch().count(), now.time_since_epoch().count(), &left)) {
        return deadline > now ? std::chrono::nanoseconds::max() : std::chrono::nanoseconds::min();
    }
    return std::chrono::nanoseconds(left);
}

} // namespace get_samples_detail

// Takes the oldest filled block of the board, waiting at most the board's timeout (without bound when it has
// none). The result holds the block and gives it back to the free channel when dropped, or holds nothing
// when the time ran out.
//
// The wait is cut into short slices against one deadline; between slices the thread re-attaches and runs
// Python's pending signal handlers, so Ctrl-C ends a read that no block will ever end. An exception raised by
// a handler propagates before any block was taken.
//
// Any Python thread, attached. On an exception no block has left the data channel.
template <typename Board>
auto get_samples(Board &board) {
    using clock = std::chrono::steady_clock;
    using std::chrono::nanoseconds;
    constexpr nanoseconds slice = std::chrono::milliseconds(50);

    const std::optional<nanoseconds> timeout = board.timeout();
    std::optional<clock::time_point> deadline;
    if (timeout.has_value()) {
        deadline = channels::details::saturating_deadline(clock::now(), *timeout);
    }
    for (;;) {
        nanoseconds wait = slice;
        if (deadline.has_value()) {
            wait = std::clamp(get_samples_detail::time_left(*deadline, clock::now()), nanoseconds::zero(), slice);
        }
        {
            // Waiting needs no Python state, and other threads (and the collector) must not wait on this one.
            pybind11::gil_scoped_release detached;
            auto taken = board.decoder.buffers.take_filled(wait);
            if (taken) {
                return taken;
            }
        }
        if (deadline.has_value() && clock::now() >= *deadline) {
            return decltype(board.decoder.buffers.take_filled(wait)){};
        }
        if (PyErr_CheckSignals() != 0) {
            throw pybind11::error_already_set();
        }
    }
}
