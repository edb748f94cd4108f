#pragma once

#include <cstddef>
#include <cstdint>

namespace pcb_roq_sim {

inline constexpr std::size_t frame_size = 12;
inline constexpr unsigned char sync_first = 0xF0;
inline constexpr unsigned char sync_second = 0x0F;

// Frame `index` of the board's self-checking pattern: the sync pair, the 32-bit frame index as words 0
// (low half) and 1 (high half), then a sine, a square wave and a ramp as words 2 to 4, all little-endian.
void pattern_frame(std::uint32_t index, unsigned char (&out)[frame_size]) noexcept;

} // namespace pcb_roq_sim
