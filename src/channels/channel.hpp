#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "channels/node_cache_allocator.hpp"

namespace channels {

namespace full_policy {
// On a full channel the element being added replaces the newest one, so the adding side never waits.
struct overwrite_last {};
} // namespace full_policy

namespace details {

// now + timeout, clamped to the clock's range: a caller passing a timeout near the largest representable
// one means "wait very long", and a wrapped-around deadline would lie in the past and end the wait at once.
inline std::chrono::steady_clock::time_point
saturating_deadline(std::chrono::steady_clock::time_point now, std::chrono::nanoseconds timeout) noexcept {
    using clock = std::chrono::steady_clock;
    static_assert(std::is_same_v<clock::duration, std::chrono::nanoseconds>);
    const auto since_epoch = now.time_since_epoch();
    if (timeout > clock::duration::zero() && since_epoch > clock::duration::zero() &&
        timeout > clock::duration::max() - since_epoch) {
        return clock::time_point::max();
    }
    if (timeout < clock::duration::zero() && since_epoch < clock::duration::zero() &&
        timeout < clock::duration::min() - since_epoch) {
        return clock::time_point::min();
    }
    return now + timeout;
}

// The state shared by all handles of one channel. Every access to the queue holds the mutex; the one
// condition variable is signalled after every add and every successful take.
template <typename T, std::size_t N, typename Policy>
class _fixed_size_queue {
    static_assert(std::is_same_v<Policy, full_policy::overwrite_last>, "overwrite_last is the only full policy");
    static_assert(N > 0, "a channel needs room for at least one element");

public:
    _fixed_size_queue() = default;
    _fixed_size_queue(const _fixed_size_queue &) = delete;
    _fixed_size_queue &operator=(const _fixed_size_queue &) = delete;
    _fixed_size_queue(_fixed_size_queue &&) = delete;
    _fixed_size_queue &operator=(_fixed_size_queue &&) = delete;
    ~_fixed_size_queue() = default;

    // Any thread. On an exception (lock failure, allocation failure) the queue is unchanged, except that on a
    // full queue the dropped newest element may already be gone.
    void add(T &&value) {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.size() >= N) {
            queue.pop_back();
        }
        queue.push_back(std::move(value));
        cv.notify_one();
    }

    // Any thread; an empty timeout waits until an element arrives. On an exception the queue is unchanged.
    std::optional<T> take(std::optional<std::chrono::nanoseconds> timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        const auto has_element = [this] { return !queue.empty(); };
        if (timeout.has_value() && *timeout <= std::chrono::nanoseconds::zero() && !has_element()) {
            // The deadline has passed already; a wait on the condition variable would still enter the kernel.
            return std::nullopt;
        }
        if (timeout.has_value()) {
            const auto deadline = saturating_deadline(std::chrono::steady_clock::now(), *timeout);
            if (!cv.wait_until(lock, deadline, has_element)) {
                return std::nullopt;
            }
        } else {
            cv.wait(lock, has_element);
        }
        std::optional<T> taken(std::move(queue.front()));
        queue.pop_front();
        // Adders never wait under overwrite_last, so this can only wake another taker, which takes the next
        // element if one is left and otherwise waits again.
        cv.notify_one();
        return taken;
    }

    // Any thread; the size at some instant during the call.
    [[nodiscard]] std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return queue.size();
    }

private:
    // Declared first so it outlives the deque, whose nodes it keeps for reuse.
    node_cache nodes;
    std::deque<T, node_cache_allocator<T>> queue{node_cache_allocator<T>(&nodes)};
    mutable std::mutex mutex;
    std::condition_variable cv;
};

} // namespace details

// A bounded FIFO between threads. Copies of a channel are handles to the same queue, which lives as long as
// the last handle; elements still queued then are destroyed with it.
template <typename T, std::size_t N, typename Policy>
class channel {
public:
    using queue_type = details::_fixed_size_queue<T, N, Policy>;

    channel() : state(new queue_type()) {}

    // Any thread; see _fixed_size_queue::add.
    void add(T &&value) const { state->add(std::move(value)); }

    // Any thread; see _fixed_size_queue::take.
    std::optional<T> take(std::optional<std::chrono::nanoseconds> timeout) const {
        return state->take(timeout);
    }

    [[nodiscard]] std::size_t size() const { return state->size(); }

    queue_type *operator->() const noexcept { return state.get(); }

private:
    std::shared_ptr<queue_type> state;
};

} // namespace channels
