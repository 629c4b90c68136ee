#include "key/key_records.h"

#include <algorithm>
#include <cstring>

namespace emulated::key_record {
namespace {

void PutUsbText(Block512& block, std::size_t at, std::size_t capacity, const std::string& text) {
  const std::size_t n = std::min(text.size(), capacity);
  block[at] = static_cast<std::uint8_t>(n);
  block[at + 1] = 0x03;  // string descriptor type
  std::memcpy(block.data() + at + 2, text.data(), n);
}

void PutScsiText(Block512& block, std::size_t at, std::size_t width, const std::string& text) {
  std::memset(block.data() + at, ' ', width);
  std::memcpy(block.data() + at, text.data(), std::min(text.size(), width));
}

}  // namespace

TextField ReadText(const std::uint8_t* field, std::size_t capacity, std::uint8_t lengthByte) {
  const std::size_t n = std::min<std::size_t>(lengthByte, capacity);
  return TextField{std::string(reinterpret_cast<const char*>(field), n), lengthByte};
}

void WriteHintRecord(const std::string& hint, std::uint8_t* record) {
  std::memset(record, 0, kHintRecordSize);
  const std::size_t n = std::min(hint.size(), kHintCapacity);
  std::memcpy(record, hint.data(), n);
  record[kHintLengthAt] = static_cast<std::uint8_t>(n);
}

Block512 BuildInfoBlock(const InfoContents& c) {
  Block512 block{};
  block[kInfoVendorIdAt] = static_cast<std::uint8_t>(c.vendorId);
  block[kInfoVendorIdAt + 1] = static_cast<std::uint8_t>(c.vendorId >> 8);
  block[kInfoProductIdAt] = static_cast<std::uint8_t>(c.productId);
  block[kInfoProductIdAt + 1] = static_cast<std::uint8_t>(c.productId >> 8);
  PutUsbText(block, kInfoManufacturerAt, 20, c.manufacturer);
  PutUsbText(block, kInfoProductAt, 20, c.product);
  PutUsbText(block, kInfoSerialAt, 24, c.serial);
  block[kInfoConfigurationAt] = c.configuration;
  PutScsiText(block, kInfoScsiVendorAt, 8, c.scsiVendor);
  PutScsiText(block, kInfoScsiProductAt, 16, c.scsiProduct);
  PutScsiText(block, kInfoScsiRevisionAt, 4, c.scsiRevision);
  block[kInfoSignatureAt] = 0x55;
  block[kInfoSignatureAt + 1] = 0xAA;
  return block;
}

Block512 FactoryParameterBlock() {
  // Nonzero device bytes on both sides of the hint copy, so that a writer that does not hand
  // them back as read is seen at once.
  Block512 block{};
  for (std::size_t i = 0; i < block.size(); ++i) {
    if (i < kParameterHintAt || i > kParameterHintLengthAt) {
      block[i] = static_cast<std::uint8_t>(1 + (i * 13 + 0x5A) % 255);
    }
  }
  return block;
}

}  // namespace emulated::key_record
