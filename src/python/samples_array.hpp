#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "python/get_samples.hpp"

// What a read of `samples` returns: the oldest filled block as a new int16 array of (rows, 5) that owns its
// memory, or None when no block came within the board's timeout. The words are copied bit for bit, so 0xFFFF
// reads as -1.
//
// Any Python thread, attached. Whatever happens after the block was taken, it goes back to the free channel.
template <typename Board>
pybind11::object samples_array(Board &board) {
    constexpr std::size_t words_per_frame = 5;

    auto block = get_samples(board);
    if (!block) {
        return pybind11::none();
    }
    if (block->cols() < words_per_frame) {
        throw std::logic_error("a sample block has fewer than 5 words per row");
    }
    const std::size_t rows = block->rows();
    pybind11::array_t<std::int16_t> samples(
        {static_cast<pybind11::ssize_t>(rows), static_cast<pybind11::ssize_t>(words_per_frame)});
    std::int16_t *out = samples.mutable_data();
    {
        // A block of thousands of frames takes a while to copy; no other thread should wait on that.
        pybind11::gil_scoped_release detached;
        if (block->cols() == words_per_frame) {
            std::memcpy(out, block->data(), rows * words_per_frame * sizeof(std::int16_t));
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                std::memcpy(out + r * words_per_frame, block->row(r), words_per_frame * sizeof(std::int16_t));
            }
        }
    }
    return samples;
}
