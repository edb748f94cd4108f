#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>

#include "channels/auto_recycled_value.hpp"
#include "channels/channel.hpp"

// The two channels of a recycling loop: filled values travel through the data channel, emptied ones come
// back through the free channel. Whatever is taken from one side goes to the other when released.
template <typename T, std::size_t N, typename Policy>
class auto_recycled_channel {
public:
    using channel_type = channels::channel<T, N, Policy>;
    using value_type = auto_recycled_value<T, channel_type>;

    // Any thread. On an exception both channels are unchanged.
    value_type take_filled(std::optional<std::chrono::nanoseconds> timeout) {
        return take_into(data_channel_, free_channel_, timeout);
    }

    // Any thread. On an exception both channels are unchanged.
    value_type take_empty(std::optional<std::chrono::nanoseconds> timeout) {
        return take_into(free_channel_, data_channel_, timeout);
    }

    channel_type &data_channel() noexcept { return data_channel_; }
    channel_type &free_channel() noexcept { return free_channel_; }

private:
    static value_type take_into(channel_type &source, channel_type &destination,
                                std::optional<std::chrono::nanoseconds> timeout) {
        std::optional<T> taken = source.take(timeout);
        if (!taken.has_value()) {
            return value_type();
        }
        return value_type(std::move(*taken), &destination);
    }

    channel_type data_channel_;
    channel_type free_channel_;
};
