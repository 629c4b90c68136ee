// The byte layouts of the key's payloads and blocks, as the key itself reads and writes them.
// Written apart from the library's own layouts, so that tests compare two readings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace emulated::key_record {

using Block512 = std::array<std::uint8_t, 512>;

// Password record: text, then its length byte.
inline constexpr std::size_t kPasswordRecordSize = 16;
inline constexpr std::size_t kPasswordCapacity = 15;
inline constexpr std::size_t kPasswordLengthAt = 15;

// Hint record: text, then its length byte.
inline constexpr std::size_t kHintRecordSize = 129;
inline constexpr std::size_t kHintCapacity = 128;
inline constexpr std::size_t kHintLengthAt = 128;

// Password change (0x96): current and new password records, the hint and its length.
inline constexpr std::size_t kChangeSize = 512;
inline constexpr std::size_t kChangeCurrentAt = 0;
inline constexpr std::size_t kChangeNewAt = 16;
inline constexpr std::size_t kChangeHintAt = 32;
inline constexpr std::size_t kChangeHintLengthAt = 160;

// First password with its hint (0xB3).
inline constexpr std::size_t kSetSize = 145;
inline constexpr std::size_t kSetPasswordAt = 0;
inline constexpr std::size_t kSetHintAt = 16;
inline constexpr std::size_t kSetHintLengthAt = 144;

// Parameter block (0x91/0x92): the device's own bytes around a copy of the hint.
inline constexpr std::size_t kParameterBlockSize = 512;
inline constexpr std::size_t kParameterHintAt = 21;
inline constexpr std::size_t kParameterHintLengthAt = 149;

// Information block (0x9B/0x9C).
inline constexpr std::size_t kInfoBlockSize = 512;
inline constexpr std::size_t kInfoVendorIdAt = 0;
inline constexpr std::size_t kInfoProductIdAt = 2;
inline constexpr std::size_t kInfoManufacturerAt = 4;  // length, 0x03, 20 bytes of text
inline constexpr std::size_t kInfoProductAt = 26;      // length, 0x03, 20 bytes
inline constexpr std::size_t kInfoSerialAt = 48;       // length, 0x03, 24 bytes
inline constexpr std::size_t kInfoConfigurationAt = 74;
inline constexpr std::size_t kInfoStatusAt = 76;
inline constexpr std::size_t kInfoScsiVendorAt = 80;
inline constexpr std::size_t kInfoScsiProductAt = 88;
inline constexpr std::size_t kInfoScsiRevisionAt = 104;
inline constexpr std::size_t kInfoSignatureAt = 110;

// Fixed transfer sizes.
inline constexpr std::uint32_t kIdentitySize = 14;
inline constexpr std::uint32_t kCapacitySize = 2;
inline constexpr std::uint32_t kFlashConfigSize = 4;
inline constexpr std::uint32_t kAreaSizePayload = 4;
inline constexpr std::uint32_t kRefreshSize = 2;
inline constexpr std::uint32_t kPageSize = 64;
inline constexpr std::uint32_t kBulkSize = 16384;
inline constexpr std::uint32_t kBlockA3Size = 512;
inline constexpr std::uint32_t kData79OutSize = 1024;

static_assert(kChangeHintLengthAt == kChangeHintAt + kHintCapacity);
static_assert(kSetHintLengthAt + 1 == kSetSize);
static_assert(kParameterHintLengthAt == kParameterHintAt + kHintCapacity);

// A text field and the length byte that goes with it, as sent.
struct TextField {
  std::string text;           // clamped to the field
  std::uint8_t lengthByte = 0;  // unclamped
};
TextField ReadText(const std::uint8_t* field, std::size_t capacity, std::uint8_t lengthByte);
inline TextField ReadPasswordRecord(const std::uint8_t* record) {
  return ReadText(record, kPasswordCapacity, record[kPasswordLengthAt]);
}
void WriteHintRecord(const std::string& hint, std::uint8_t* record);

// What a key's information block says about it.
struct InfoContents {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::uint8_t configuration = 0x80;
  std::string scsiVendor;
  std::string scsiProduct;
  std::string scsiRevision;
};
Block512 BuildInfoBlock(const InfoContents& contents);

// The parameter block a key leaves the factory with: device bytes around an empty hint copy.
Block512 FactoryParameterBlock();

}  // namespace emulated::key_record
