#include "frame_pattern.hpp"

#include <array>
#include <cmath>
#include <numbers>

namespace pcb_roq_sim {

namespace {

// Periods in frames, chosen so that a block of the default 4096 rows shows several periods of each wave.
constexpr std::uint32_t sine_period = 512;
constexpr std::uint32_t square_period = 1024;
constexpr std::uint32_t ramp_period = 2048;

const std::array<std::int16_t, sine_period> &sine_table() {
    // Computed once so every frame of a given index is bit-identical, whoever asks for it.
    static const auto table = [] {
        std::array<std::int16_t, sine_period> t{};
        for (std::uint32_t i = 0; i < sine_period; ++i) {
            t[i] = static_cast<std::int16_t>(
                std::lround(8000.0 * std::sin(2.0 * std::numbers::pi * i / sine_period)));
        }
        return t;
    }();
    return table;
}

void put_word(unsigned char *at, std::uint16_t word) noexcept {
    at[0] = static_cast<unsigned char>(word & 0xFF);
    at[1] = static_cast<unsigned char>(word >> 8);
}

} // namespace

void pattern_frame(std::uint32_t index, unsigned char (&out)[frame_size]) noexcept {
    const std::int16_t sine = sine_table()[index % sine_period];
    const std::int16_t square = (index % square_period) < square_period / 2 ? 4000 : -4000;
    const auto ramp = static_cast<std::int16_t>(static_cast<std::int32_t>(index % ramp_period) * 16 - 16384);
    out[0] = sync_first;
    out[1] = sync_second;
    put_word(out + 2, static_cast<std::uint16_t>(index & 0xFFFF));
    put_word(out + 4, static_cast<std::uint16_t>(index >> 16));
    put_word(out + 6, static_cast<std::uint16_t>(sine));
    put_word(out + 8, static_cast<std::uint16_t>(square));
    put_word(out + 10, static_cast<std::uint16_t>(ramp));
}

} // namespace pcb_roq_sim
