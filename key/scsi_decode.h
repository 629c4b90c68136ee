// Reading command blocks the way a device does: big-endian fields at fixed positions.
// Deliberately separate from the library's builders, so that tests compare two readings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace emulated {

inline std::uint32_t BigEndian32At(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline std::uint16_t BigEndian16At(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t LittleEndian32At(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}
inline void StoreLittleEndian32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Standard INQUIRY data: direct-access device, removable or not, texts space-padded.
void FillInquiryData(std::uint8_t* out, std::size_t length, bool removable, const std::string& vendor,
                     const std::string& product, const std::string& revision);

}  // namespace emulated
