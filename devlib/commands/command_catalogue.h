// Subcodes of the vendor commands (byte 3 of the block, after 0xAD 0x0A 0x16).
#pragma once

#include <cstdint>

namespace subcode {
inline constexpr std::uint8_t kReadIdentityString = 0x95;
inline constexpr std::uint8_t kReadCapacityMb = 0x9A;
}  // namespace subcode
