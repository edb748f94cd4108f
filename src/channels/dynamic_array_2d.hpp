#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

// A fixed-shape, row-major 2D array that owns its elements. It travels between threads by move only:
// a move hands over the storage without touching an element, so a copy can never happen by accident.
template <typename T>
class DynamicArray2D {
public:
    DynamicArray2D() noexcept = default;

    DynamicArray2D(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols) {
        // rows * cols wrapping around would size the vector to the remainder and later row writes would run
        // past its end, so such a shape must never reach the allocation.
        if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / cols) {
            throw std::length_error("DynamicArray2D: rows * cols does not fit in 64 bits");
        }
        // resize value-initialises, so a fresh block reads as all zeros.
        data_.resize(rows * cols);
    }

    DynamicArray2D(DynamicArray2D &&other) noexcept
        : rows_(std::exchange(other.rows_, 0)), cols_(std::exchange(other.cols_, 0)),
          data_(std::exchange(other.data_, std::vector<T>{})) {}

    DynamicArray2D &operator=(DynamicArray2D &&other) noexcept {
        if (this != &other) {
            rows_ = std::exchange(other.rows_, 0);
            cols_ = std::exchange(other.cols_, 0);
            data_ = std::exchange(other.data_, std::vector<T>{});
        }
        return *this;
    }

    DynamicArray2D(const DynamicArray2D &) = delete;
    DynamicArray2D &operator=(const DynamicArray2D &) = delete;
    ~DynamicArray2D() = default;

    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] std::size_t cols() const noexcept { return cols_; }
    [[nodiscard]] std::size_t size() const noexcept { return data_.size(); }

    [[nodiscard]] T *data() noexcept { return data_.data(); }
    [[nodiscard]] const T *data() const noexcept { return data_.data(); }

    [[nodiscard]] T *row(std::size_t r) noexcept { return data() + r * cols_; }
    [[nodiscard]] const T *row(std::size_t r) const noexcept { return data() + r * cols_; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<T> data_;
};
