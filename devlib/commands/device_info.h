// The key's 512-byte information block: how it presents itself to every computer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace info_block {
inline constexpr std::size_t kSize = 512;
inline constexpr std::size_t kVendorId = 0;   // 16-bit little-endian
inline constexpr std::size_t kProductId = 2;  // 16-bit little-endian
inline constexpr std::size_t kManufacturerLength = 4;
inline constexpr std::size_t kManufacturerType = 5;
inline constexpr std::size_t kManufacturer = 6;
inline constexpr std::size_t kManufacturerCapacity = 20;
inline constexpr std::size_t kProductLength = 26;
inline constexpr std::size_t kProductType = 27;
inline constexpr std::size_t kProduct = 28;
inline constexpr std::size_t kProductCapacity = 20;
inline constexpr std::size_t kSerialLength = 48;
inline constexpr std::size_t kSerialType = 49;
inline constexpr std::size_t kSerial = 50;
inline constexpr std::size_t kSerialCapacity = 24;
inline constexpr std::size_t kSerialNumberDigits = 14;  // what the serial-number calls handle
inline constexpr std::size_t kConfiguration = 74;
inline constexpr std::size_t kStatus = 76;  // bit 7: the flag TestKeyInfoFlag reports
inline constexpr std::size_t kScsiVendor = 80;
inline constexpr std::size_t kScsiVendorWidth = 8;
inline constexpr std::size_t kScsiProduct = 88;
inline constexpr std::size_t kScsiProductWidth = 16;
inline constexpr std::size_t kScsiRevision = 104;
inline constexpr std::size_t kScsiRevisionWidth = 4;
inline constexpr std::size_t kSignature = 110;  // 0x55 0xAA
inline constexpr std::uint8_t kStringDescriptorType = 0x03;
inline constexpr std::uint8_t kDefaultConfiguration = 0x80;

static_assert(kManufacturer + kManufacturerCapacity == kProductLength);
static_assert(kProduct + kProductCapacity == kSerialLength);
static_assert(kSerial + kSerialCapacity == kConfiguration);
static_assert(kScsiRevision + kScsiRevisionWidth + 2 == kSignature);
}  // namespace info_block

// A 16-bit USB identifier as four lowercase hexadecimal digits, high byte first; out gets a
// terminator after the four digits.
void FormatUsbIdText(std::uint8_t low, std::uint8_t high, char* out5);

// Fourteen characters: the local date as DDMMYY, then eight random decimal digits drawn from
// the command filler's generator, seeded as the filler is.
void GenerateSerialNumber(char* out14);
