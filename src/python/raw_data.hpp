#pragma once

#include <climits>
#include <stdexcept>

#include <fmt/format.h>
#include <libusb.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

using raw_bytes = pybind11::array_t<unsigned char, pybind11::array::forcecast>;

// Up to `count` bytes of the board's stream exactly as the chip delivers them, from one device read: the
// array is shortened to what that read returned. A failed read raises ValueError saying why (the type NumPy
// gave when it refused a negative length). An acquiring board is paused around the read and acquiring afterwards.
//
// Any Python thread; detached from the interpreter while the board is paused and read. A refused count leaves
// the board untouched.
// What a negative result of a device read means: libftdi's code for a closed device, or a libusb code.
inline std::string read_failure(int code) {
    if (code == -666) {
        return "the board is not open (-666)";
    }
    return fmt::format("{} ({})", libusb_error_name(code), code);
}

template <typename Board>
raw_bytes get_raw_data(Board &board, long count) {
    // One device read takes an int; a larger count would be cut to something unrelated.
    if (count > INT_MAX) {
        throw std::invalid_argument(
            fmt::format("_get_raw_data: {} bytes asked for, but one read returns at most {} bytes", count, INT_MAX));
    }
    raw_bytes bytes(static_cast<pybind11::ssize_t>(count));
    unsigned char *const destination = bytes.mutable_data();
    int got = 0;
    {
        // A slow board makes the read wait; the new array is ours alone until it is returned.
        pybind11::gil_scoped_release detached;
        got = board.read_raw(destination, static_cast<int>(count));
    }
    if (got < 0) {
        throw std::invalid_argument(fmt::format("_get_raw_data: reading the board failed: {}", read_failure(got)));
    }
    if (got < count) {
        bytes.resize({static_cast<pybind11::ssize_t>(got)}, true);
    }
    return bytes;
}
