#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

// An optional nanosecond count that one thread may replace while others read it, without a lock and without
// any reader ever seeing half of a write. "Empty" is kept in-band as the one count no timeout needs: the
// most negative one, which as a wait means the same as any other negative count (do not wait at all).
class atomic_timeout {
public:
    using duration = std::chrono::nanoseconds;

    // Any thread.
    [[nodiscard]] std::optional<duration> load() const noexcept {
        const auto count = count_.load(std::memory_order_acquire);
        if (count == empty) {
            return std::nullopt;
        }
        return duration(count);
    }

    // Any thread. The most negative count is stored one nanosecond later so that it cannot read back as empty;
    // both end a wait at once and read back as the same whole number of microseconds.
    void store(duration value) noexcept {
        const auto count = value.count() == empty ? empty + 1 : value.count();
        count_.store(count, std::memory_order_release);
    }

private:
    static constexpr duration::rep empty = std::numeric_limits<duration::rep>::min();
    static_assert(std::atomic<duration::rep>::is_always_lock_free);

    std::atomic<duration::rep> count_{empty};
};
