#pragma once

#include <climits>
#include <stdexcept>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

using raw_bytes = pybind11::array_t<unsigned char, pybind11::array::forcecast>;

// Up to `count` bytes of the board's stream exactly as the chip delivers them, from one device read: the
// array is shortened to what that read returned. A failed read (negative count) makes NumPy refuse the
// shortening with ValueError. An acquiring board is paused around the read and acquiring afterwards.
//
// Any Python thread, attached for its whole length. A refused count leaves the board untouched.
template <typename Board>
raw_bytes get_raw_data(Board &board, long count) {
    // One device read takes an int; a larger count would be cut to something unrelated.
    if (count > INT_MAX) {
        throw std::invalid_argument(
            fmt::format("_get_raw_data: {} bytes asked for, but one read returns at most {} bytes", count, INT_MAX));
    }
    raw_bytes bytes(static_cast<pybind11::ssize_t>(count));
    const int got = board.read_raw(bytes.mutable_data(), static_cast<int>(count));
    if (got < count) {
        bytes.resize({static_cast<pybind11::ssize_t>(got)}, true);
    }
    return bytes;
}
