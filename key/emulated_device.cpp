#include "key/emulated_device.h"

#include <algorithm>
#include <cstring>

#include "key/scsi_decode.h"

namespace emulated {

std::array<std::uint8_t, 18> Sense::Bytes() const {
  std::array<std::uint8_t, 18> bytes{};
  bytes[0] = 0x70;  // current error, fixed format
  bytes[2] = key;
  bytes[7] = 10;  // additional length
  bytes[12] = asc;
  bytes[13] = ascq;
  return bytes;
}

void FillInquiryData(std::uint8_t* out, std::size_t length, bool removable, const std::string& vendor,
                     const std::string& product, const std::string& revision) {
  std::uint8_t data[36] = {};
  data[1] = removable ? 0x80 : 0x00;
  data[2] = 0x02;  // SPC-2
  data[3] = 0x02;
  data[4] = 31;  // additional length
  auto put = [&](std::size_t at, std::size_t width, const std::string& text) {
    std::memset(data + at, ' ', width);
    std::memcpy(data + at, text.data(), std::min(width, text.size()));
  };
  put(8, 8, vendor);
  put(16, 16, product);
  put(32, 4, revision);
  std::copy_n(data, std::min(length, sizeof data), out);  // out may be null when length is 0
}

BystanderDrive::BystanderDrive(DriveKind kind, std::uint64_t sectorCount, std::string vendor,
                               std::string product)
    : m_kind(kind), m_media(sectorCount), m_vendor(std::move(vendor)), m_product(std::move(product)) {
  // Something recognisable in the first sectors, so that a stray write would show.
  Sector pattern;
  for (std::uint64_t lba = 0; lba < std::min<std::uint64_t>(sectorCount, 64); ++lba) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      pattern[i] = static_cast<std::uint8_t>(lba * 31 + i * 7 + static_cast<int>(kind));
    }
    m_media.Write(lba, 1, pattern.data());
  }
}

std::uint8_t BystanderDrive::Execute(const ScsiCommand& command) {
  const std::uint8_t* cdb = command.cdb;
  const bool noMedium = m_kind == DriveKind::kEmptyReader;
  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
      return noMedium ? Fail(0x02, 0x3A) : Good();
    case 0x12:  // INQUIRY
      if (!command.dataIn) return Fail(0x05, 0x24);
      FillInquiryData(command.data, command.length, m_kind != DriveKind::kFixedDisk, m_vendor,
                      m_product, "1.00");
      return Good();
    case 0x28:    // READ(10)
    case 0x2A: {  // WRITE(10)
      if (noMedium) return Fail(0x02, 0x3A);
      const std::uint32_t lba = BigEndian32At(cdb + 2);
      const std::uint16_t count = BigEndian16At(cdb + 7);
      if (command.length != std::uint32_t{count} * kSectorSize) return Fail(0x05, 0x24);
      const bool ok = cdb[0] == 0x28 ? m_media.Read(lba, count, command.data)
                                     : m_media.Write(lba, count, command.data);
      return ok ? Good() : Fail(0x05, 0x21);
    }
    default:
      return Fail(0x05, 0x20);  // invalid command operation code
  }
}

std::unique_ptr<BystanderDrive> MakeFixedDisk() {
  return std::make_unique<BystanderDrive>(DriveKind::kFixedDisk, 1u << 21, "ATA", "Fixed Disk");
}
std::unique_ptr<BystanderDrive> MakeUsbStick() {
  return std::make_unique<BystanderDrive>(DriveKind::kUsbStick, 1u << 18, "Generic", "USB Flash Disk");
}
std::unique_ptr<BystanderDrive> MakeEmptyReader() {
  return std::make_unique<BystanderDrive>(DriveKind::kEmptyReader, 0, "Generic", "Card Reader");
}

}  // namespace emulated
