// An emulated key of the family: it decodes every command block itself and keeps real state
// over a flash image.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/emulated/emulated_device.h"
#include "host/emulated/flash_image.h"

namespace emulated {

struct KeyConfig {
  std::string model = "KV 2 Zarno P9";  // display name; selects identity and INQUIRY texts
  std::uint32_t capacityMb = 1024;
  std::string revision = "2.45";         // INQUIRY product revision, four characters
  std::uint16_t flashType = 2;
  std::uint16_t bankCount = 1;
  std::string imagePath;                 // empty: the flash lives in memory
  bool writeProtected = false;
};

// The 14-byte identity a model answers to the identity command; empty for an unknown model.
std::string IdentityOfModel(const std::string& model);

// How many 512-byte sectors one reported megabyte holds on a key with this firmware and flash.
// The key's own reckoning, written apart from the library's.
std::uint32_t KeySectorsPerMegabyte(const KeyConfig& config);

class EmulatedKey : public EmulatedDevice {
 public:
  explicit EmulatedKey(KeyConfig config);
  // Uses the given image instead of one made from the configuration.
  EmulatedKey(KeyConfig config, std::unique_ptr<FlashImage> flash);

  DriveKind Kind() const override { return DriveKind::kKey; }
  std::uint8_t Execute(const ScsiCommand& command) override;

  const KeyConfig& Config() const { return m_config; }
  FlashImage& Flash() { return *m_flash; }
  void SetWriteProtected(bool on) { m_config.writeProtected = on; }
  // Replaces the identity the key answers with (for unknown or odd identities).
  void SetIdentity(const std::string& identity14) { m_identity = identity14; }

 private:
  using Handler = std::uint8_t (EmulatedKey::*)(const ScsiCommand&);
  std::uint8_t ExecuteVendor(const ScsiCommand& command);
  std::uint8_t Inquiry(const ScsiCommand& command);
  std::uint8_t ModeSense10(const ScsiCommand& command);
  std::uint8_t ReadWrite10(const ScsiCommand& command);
  std::uint8_t ReadIdentity(const ScsiCommand& command);
  std::uint8_t ReadCapacity(const ScsiCommand& command);

  // Data phase checks shared by the vendor handlers.
  bool ExpectIn(const ScsiCommand& command, std::uint32_t length) const;
  bool ExpectOut(const ScsiCommand& command, std::uint32_t length) const;
  bool ExpectNoData(const ScsiCommand& command) const;

  KeyConfig m_config;
  std::string m_identity;
  std::unique_ptr<FlashImage> m_flash;
  std::map<std::uint8_t, Handler> m_vendorHandlers;
};

}  // namespace emulated
