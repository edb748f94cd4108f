#pragma once

#include <optional>
#include <utility>

// Under -fsanitize=thread GCC loses track of the optional's engaged flag across the hand-over and warns that an
// empty wrapper's block may be destroyed uninitialised; every path checks has_value() first, so it never is.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// A value taken from one channel that goes to its destination channel when the wrapper lets go of it, so
// neither side of a recycling loop ever has to send it back explicitly. The destination must outlive it.
template <typename T, typename Channel>
class auto_recycled_value {
public:
    auto_recycled_value() noexcept = default;

    auto_recycled_value(T &&value, Channel *destination) noexcept
        : value_(std::move(value)), destination_(destination) {}

    auto_recycled_value(auto_recycled_value &&other) noexcept { take_over(other); }

    // The held value reaches its own destination before the other wrapper's value is taken over.
    auto_recycled_value &operator=(auto_recycled_value &&other) noexcept {
        if (this != &other) {
            deliver();
            take_over(other);
        }
        return *this;
    }

    auto_recycled_value(const auto_recycled_value &) = delete;
    auto_recycled_value &operator=(const auto_recycled_value &) = delete;

    ~auto_recycled_value() { deliver(); }

    explicit operator bool() const noexcept { return value_.has_value(); }
    [[nodiscard]] bool has_value() const noexcept { return value_.has_value(); }

    T &operator*() noexcept { return *value_; }
    const T &operator*() const noexcept { return *value_; }
    T *operator->() noexcept { return &*value_; }
    const T *operator->() const noexcept { return &*value_; }

    [[nodiscard]] Channel *destination() const noexcept { return destination_; }
    // The value will go to `destination` instead, which must outlive the wrapper.
    void redirect(Channel *destination) noexcept { destination_ = destination; }

private:
    void deliver() noexcept {
        if (destination_ != nullptr && value_.has_value()) {
            try {
                destination_->add(std::move(*value_));
            } catch (...) {
                // Only a failed lock or a failed queue allocation gets here; throwing out of a destructor
                // would end the process, so the value is dropped (its storage freed) instead.
            }
        }
        value_.reset();
    }

    // Expects this wrapper to hold nothing; leaves the other one holding nothing, aimed nowhere.
    void take_over(auto_recycled_value &other) noexcept {
        if (other.value_.has_value()) {
            value_.emplace(std::move(*other.value_));
            other.value_.reset();
        }
        destination_ = std::exchange(other.destination_, nullptr);
    }

    std::optional<T> value_;
    Channel *destination_ = nullptr;
};

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
