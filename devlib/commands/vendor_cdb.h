// The ten-byte command block of every device command, its pseudo-random filler, the standard
// SCSI blocks built in the same frame, and the fixed pauses that follow some commands.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct VendorCdb {
  static constexpr std::size_t kSize = 10;
  std::array<std::uint8_t, kSize> bytes{};

  std::uint8_t& operator[](std::size_t i) { return bytes[i]; }
  std::uint8_t operator[](std::size_t i) const { return bytes[i]; }
  const std::uint8_t* data() const { return bytes.data(); }
};

// Byte 0 to 2 of every vendor command; byte 3 is the subcode.
inline constexpr std::uint8_t kVendorOpcode = 0xAD;
inline constexpr std::uint8_t kVendorPrefix1 = 0x0A;
inline constexpr std::uint8_t kVendorPrefix2 = 0x16;

// The C runtime's linear congruential generator (srand/rand), kept here so that the filler does
// not depend on whichever runtime the program is linked with.
class RuntimeRandom {
 public:
  explicit RuntimeRandom(std::uint32_t seed) : m_state(seed) {}
  int Next() {
    m_state = m_state * 214013u + 2531011u;
    return static_cast<int>((m_state >> 16) & 0x7FFF);
  }

 private:
  std::uint32_t m_state;
};

// The seed every command draws its filler from: the local date text and the current second.
std::uint32_t FillerSeed();

// Writes count filler bytes; the generator is reseeded on every call.
void FillRandom(std::uint8_t* buffer, std::size_t count);

void PutBigEndian16(VendorCdb& cdb, std::size_t position, std::uint16_t value);
void PutBigEndian32(VendorCdb& cdb, std::size_t position, std::uint32_t value);

// A vendor command: filler, then the prefix and the subcode. Parameters are written over the
// filler by the caller.
VendorCdb BuildVendorCdb(std::uint8_t subcode);

VendorCdb BuildInquiryCdb();            // 0x12, allocation length 36
VendorCdb BuildModeSense10Cdb();        // 0x5A, page 5, allocation length 8
VendorCdb BuildRead10Cdb(std::uint32_t lba, std::uint16_t count);
VendorCdb BuildWrite10Cdb(std::uint32_t lba, std::uint16_t count);
VendorCdb BuildDeviceResetCdb();        // 0xFF 0x1D
VendorCdb BuildTestUnitReadyCdb();      // all zero, no filler

// Fixed pauses after device commands, in milliseconds.
namespace pause_ms {
inline constexpr std::uint32_t kAfterSwitchMedium = 1000;  // then TEST UNIT READY
inline constexpr std::uint32_t kAfterInquiry = 300;        // pass-through only
inline constexpr std::uint32_t kAfterSubmitPassword = 1000;
inline constexpr std::uint32_t kAfterCommand97 = 1000;
inline constexpr std::uint32_t kRefreshStep = 500;          // taken kRefreshSteps times
inline constexpr int kRefreshSteps = 3;
inline constexpr std::uint32_t kCommand9FStep = 250;        // taken kCommand9FSteps times
inline constexpr int kCommand9FSteps = 2;
}  // namespace pause_ms
