#include "host/emulated/emulated_key.h"

#include <algorithm>
#include <cstring>

#include "host/emulated/scsi_decode.h"

namespace emulated {
namespace {

constexpr std::uint8_t kSenseNotReady = 0x02;
constexpr std::uint8_t kSenseIllegalRequest = 0x05;
constexpr std::uint8_t kSenseDataProtect = 0x07;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscInvalidField = 0x24;
constexpr std::uint8_t kAscWriteProtected = 0x27;
constexpr std::uint8_t kAscMediumError = 0x11;

std::string PadTo(std::string text, std::size_t width) {
  text.resize(width, '\0');
  return text;
}

}  // namespace

std::string IdentityOfModel(const std::string& model) {
  if (model == "KV 2 Zarno P3") return "QUILKV2ZARNOP3";
  if (model == "KV 2 Zarno P9") return "QUILKV2ZARNOP9";
  if (model == "Varnok Key") return PadTo("VARNOKSTELVA", 14);
  return {};
}

std::uint32_t KeySectorsPerMegabyte(const KeyConfig& config) {
  const std::string& r = config.revision;
  const auto any = [&r](std::initializer_list<const char*> list) {
    return std::any_of(list.begin(), list.end(), [&r](const char* s) { return r == s; });
  };
  const std::uint16_t t = config.flashType;
  if (any({"W2.1", "1.00", "1.10", "2.60", "2.61"})) return 2048;
  if (any({"1.15", "1.20", "1.21"})) return t == 2 ? 1972 : 2048;
  if (any({"3.12", "2.42", "2.43", "2.44", "2.45", "2.46", "2.47", "2.48", "2.49", "2.50"})) {
    return t == 3 ? 1936 : 1972;
  }
  const std::uint32_t perBank = config.bankCount != 0 ? config.capacityMb / config.bankCount : 0;
  if (perBank == 64 && t == 2) return 1896;
  if (t == 1 || t == 3) return 1988;
  return 1972;
}

EmulatedKey::EmulatedKey(KeyConfig config)
    : EmulatedKey(config, nullptr) {}

EmulatedKey::EmulatedKey(KeyConfig config, std::unique_ptr<FlashImage> flash)
    : m_config(std::move(config)), m_identity(IdentityOfModel(m_config.model)), m_flash(std::move(flash)) {
  if (!m_flash) {
    const std::uint64_t sectors =
        std::uint64_t{m_config.capacityMb} * KeySectorsPerMegabyte(m_config);
    if (m_config.imagePath.empty()) {
      m_flash = std::make_unique<MemoryFlashImage>(sectors);
    } else {
      m_flash = std::make_unique<FileFlashImage>(m_config.imagePath, sectors);
    }
  }
  m_vendorHandlers = {
      {0x95, &EmulatedKey::ReadIdentity},
      {0x9A, &EmulatedKey::ReadCapacity},
  };
}

bool EmulatedKey::ExpectIn(const ScsiCommand& command, std::uint32_t length) const {
  return command.dataIn && command.length == length;
}
bool EmulatedKey::ExpectOut(const ScsiCommand& command, std::uint32_t length) const {
  return !command.dataIn && command.length == length;
}
bool EmulatedKey::ExpectNoData(const ScsiCommand& command) const { return command.length == 0; }

std::uint8_t EmulatedKey::Execute(const ScsiCommand& command) {
  if (command.cdbLength < 10) return Fail(kSenseIllegalRequest, kAscInvalidField);
  switch (command.cdb[0]) {
    case 0x00:  // TEST UNIT READY
      return Good();
    case 0x12:
      return Inquiry(command);
    case 0x5A:
      return ModeSense10(command);
    case 0x28:
    case 0x2A:
      return ReadWrite10(command);
    case 0xAD:
      return ExecuteVendor(command);
    default:
      return Fail(kSenseIllegalRequest, kAscInvalidOpcode);
  }
}

std::uint8_t EmulatedKey::ExecuteVendor(const ScsiCommand& command) {
  if (command.cdb[1] != 0x0A || command.cdb[2] != 0x16) {
    return Fail(kSenseIllegalRequest, kAscInvalidField);
  }
  const auto handler = m_vendorHandlers.find(command.cdb[3]);
  if (handler == m_vendorHandlers.end()) return Fail(kSenseIllegalRequest, kAscInvalidOpcode);
  return (this->*handler->second)(command);
}

std::uint8_t EmulatedKey::Inquiry(const ScsiCommand& command) {
  // The pass-through INQUIRY asks for 36 bytes, the helper driver's for 56.
  const std::uint32_t allocation = command.cdb[4];
  if (!command.dataIn || command.length < std::min<std::uint32_t>(allocation, 36)) {
    return Fail(kSenseIllegalRequest, kAscInvalidField);
  }
  std::memset(command.data, 0, command.length);
  FillInquiryData(command.data, std::min(command.length, allocation), true, "Varnok",
                  m_config.model, m_config.revision);
  return Good();
}

std::uint8_t EmulatedKey::ModeSense10(const ScsiCommand& command) {
  const std::uint16_t allocation = BigEndian16At(command.cdb + 7);
  if (!command.dataIn || command.length < allocation || allocation < 8) {
    return Fail(kSenseIllegalRequest, kAscInvalidField);
  }
  std::memset(command.data, 0, allocation);
  command.data[1] = 6;  // mode data length, header only
  command.data[3] = m_config.writeProtected ? 0x80 : 0x00;
  return Good();
}

std::uint8_t EmulatedKey::ReadWrite10(const ScsiCommand& command) {
  const bool write = command.cdb[0] == 0x2A;
  const std::uint32_t lba = BigEndian32At(command.cdb + 2);
  const std::uint16_t count = BigEndian16At(command.cdb + 7);
  if (command.dataIn == write || command.length != std::uint32_t{count} * kSectorSize) {
    return Fail(kSenseIllegalRequest, kAscInvalidField);
  }
  if (!m_flash->InRange(lba, count)) return Fail(kSenseIllegalRequest, kAscLbaOutOfRange);
  if (write && m_config.writeProtected) return Fail(kSenseDataProtect, kAscWriteProtected);
  const bool ok = write ? m_flash->Write(lba, count, command.data) : m_flash->Read(lba, count, command.data);
  return ok ? Good() : Fail(kSenseNotReady, kAscMediumError);
}

std::uint8_t EmulatedKey::ReadIdentity(const ScsiCommand& command) {
  if (!ExpectIn(command, 14)) return Fail(kSenseIllegalRequest, kAscInvalidField);
  const std::string identity = PadTo(m_identity, 14);
  std::memcpy(command.data, identity.data(), 14);
  return Good();
}

std::uint8_t EmulatedKey::ReadCapacity(const ScsiCommand& command) {
  if (!ExpectIn(command, 2)) return Fail(kSenseIllegalRequest, kAscInvalidField);
  command.data[0] = static_cast<std::uint8_t>(m_config.capacityMb);
  command.data[1] = static_cast<std::uint8_t>(m_config.capacityMb >> 8);
  return Good();
}

}  // namespace emulated
