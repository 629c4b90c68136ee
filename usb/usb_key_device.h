// The key as a USB 2.0 mass-storage device: its descriptors (identifiers and texts from the
// key's information block, as the key's firmware presents itself), the control requests of
// endpoint 0, and the two bulk endpoints of the Bulk-Only Transport.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usb/bulk_only_transport.h"
#include "usb/key_scsi_unit.h"

namespace usb {

inline constexpr std::uint8_t kBulkInEndpoint = 0x81;
inline constexpr std::uint8_t kBulkOutEndpoint = 0x02;
inline constexpr std::uint16_t kBulkMaxPacket = 512;  // high speed
inline constexpr std::uint8_t kInterfaceClass = 0x08;     // mass storage
inline constexpr std::uint8_t kInterfaceSubclass = 0x06;  // SCSI transparent command set
inline constexpr std::uint8_t kInterfaceProtocol = 0x50;  // Bulk-Only Transport
inline constexpr std::uint8_t kConfigurationValue = 1;

// What the device tells the bus about itself.
struct UsbIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t deviceRelease = 0;  // bcdDevice
  std::string manufacturer;
  std::string product;
  std::string serial;
};

// From the key's information block; a block without its signature leaves the texts empty and
// the identifiers zero, as a key with a blank block would show.
UsbIdentity IdentityOfKey(const emulated::EmulatedKey& key);

struct ControlReply {
  bool stall = false;
  std::vector<std::uint8_t> data;  // data stage from the device, at most the host's length
};

class UsbKeyDevice {
 public:
  explicit UsbKeyDevice(emulated::EmulatedKey& key);

  const UsbIdentity& Identity() const { return m_identity; }
  std::vector<std::uint8_t> DeviceDescriptor() const;
  std::vector<std::uint8_t> ConfigurationDescriptor() const;

  // One control transfer on endpoint 0 (setup fields as sent; `out` is the host's data stage).
  ControlReply Control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                       std::uint16_t length, const std::vector<std::uint8_t>& out = {});

  bool SetConfiguration(std::uint8_t value);
  std::uint8_t Configuration() const { return m_configuration; }
  void BusReset();

  BulkOnlyTransport& Transport() { return m_transport; }
  KeyScsiUnit& Unit() { return m_unit; }

 private:
  std::vector<std::uint8_t> StringDescriptor(std::uint8_t index) const;
  ControlReply Standard(std::uint8_t requestType, std::uint8_t request, std::uint16_t value, std::uint16_t index);

  UsbIdentity m_identity;
  KeyScsiUnit m_unit;
  BulkOnlyTransport m_transport;
  std::uint8_t m_configuration = 0;
};

}  // namespace usb
