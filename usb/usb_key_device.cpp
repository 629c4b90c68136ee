#include "usb/usb_key_device.h"

#include <algorithm>

#include "key/key_records.h"

namespace usb {

namespace {

using namespace emulated::key_record;

// Standard requests and descriptor types.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
constexpr std::uint16_t kEndpointHalt = 0;
constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorInterface = 4;
constexpr std::uint8_t kDescriptorEndpoint = 5;
constexpr std::uint8_t kDescriptorQualifier = 6;
// Mass-storage class requests.
constexpr std::uint8_t kMassStorageReset = 0xFF;
constexpr std::uint8_t kGetMaxLun = 0xFE;
// bmRequestType: direction, type and recipient.
constexpr std::uint8_t kRequestIn = 0x80;
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeClass = 0x20;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint8_t kRecipientInterface = 0x01;
constexpr std::uint8_t kRecipientEndpoint = 0x02;

constexpr std::uint8_t kManufacturerString = 1;
constexpr std::uint8_t kProductString = 2;
constexpr std::uint8_t kSerialString = 3;
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::uint8_t kMaxPower100mA = 50;  // in 2 mA units
constexpr std::uint8_t kBusPowered = 0x80;

std::uint8_t Low(std::uint16_t v) { return static_cast<std::uint8_t>(v); }
std::uint8_t High(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }

std::string InfoText(const Block512& block, std::size_t at, std::size_t capacity) {
  return ReadText(block.data() + at + 2, capacity, block[at]).text;
}

// "2.45" as bcdDevice 0x0245: the revision's digits, in order.
std::uint16_t ReleaseOf(const std::string& revision) {
  std::uint16_t bcd = 0;
  int digits = 0;
  for (const char c : revision) {
    if (c < '0' || c > '9' || digits == 4) continue;
    bcd = static_cast<std::uint16_t>(bcd << 4 | (c - '0'));
    ++digits;
  }
  return bcd;
}

}  // namespace

UsbIdentity IdentityOfKey(const emulated::EmulatedKey& key) {
  UsbIdentity identity;
  identity.deviceRelease = ReleaseOf(key.Config().revision);
  const Block512& block = key.InfoBlock();
  if (block[kInfoSignatureAt] != 0x55 || block[kInfoSignatureAt + 1] != 0xAA) return identity;
  identity.vendorId = static_cast<std::uint16_t>(block[kInfoVendorIdAt] | block[kInfoVendorIdAt + 1] << 8);
  identity.productId = static_cast<std::uint16_t>(block[kInfoProductIdAt] | block[kInfoProductIdAt + 1] << 8);
  identity.manufacturer = InfoText(block, kInfoManufacturerAt, 20);
  identity.product = InfoText(block, kInfoProductAt, 20);
  identity.serial = InfoText(block, kInfoSerialAt, 24);
  return identity;
}

UsbKeyDevice::UsbKeyDevice(emulated::EmulatedKey& key)
    : m_identity(IdentityOfKey(key)), m_unit(key), m_transport(m_unit) {}

std::vector<std::uint8_t> UsbKeyDevice::DeviceDescriptor() const {
  const UsbIdentity& id = m_identity;
  return {18, kDescriptorDevice, 0x00, 0x02,  // USB 2.0
          0, 0, 0,                            // class per interface
          64,                                 // endpoint 0 packet size
          Low(id.vendorId), High(id.vendorId), Low(id.productId), High(id.productId),
          Low(id.deviceRelease), High(id.deviceRelease),
          static_cast<std::uint8_t>(id.manufacturer.empty() ? 0 : kManufacturerString),
          static_cast<std::uint8_t>(id.product.empty() ? 0 : kProductString),
          static_cast<std::uint8_t>(id.serial.empty() ? 0 : kSerialString),
          1};
}

std::vector<std::uint8_t> UsbKeyDevice::ConfigurationDescriptor() const {
  constexpr std::uint8_t kTotal = 9 + 9 + 7 + 7;
  return {9, kDescriptorConfiguration, kTotal, 0, 1, kConfigurationValue, 0, kBusPowered, kMaxPower100mA,
          9, kDescriptorInterface, 0, 0, 2, kInterfaceClass, kInterfaceSubclass, kInterfaceProtocol, 0,
          7, kDescriptorEndpoint, kBulkInEndpoint, 0x02, Low(kBulkMaxPacket), High(kBulkMaxPacket), 0,
          7, kDescriptorEndpoint, kBulkOutEndpoint, 0x02, Low(kBulkMaxPacket), High(kBulkMaxPacket), 0};
}

std::vector<std::uint8_t> UsbKeyDevice::StringDescriptor(std::uint8_t index) const {
  if (index == 0) return {4, kDescriptorString, Low(kLanguageEnglishUs), High(kLanguageEnglishUs)};
  const std::string* text = index == kManufacturerString ? &m_identity.manufacturer
                            : index == kProductString    ? &m_identity.product
                            : index == kSerialString     ? &m_identity.serial
                                                         : nullptr;
  if (text == nullptr || text->empty()) return {};
  // The key's texts are bytes; each becomes one UTF-16 unit.
  std::vector<std::uint8_t> descriptor{static_cast<std::uint8_t>(2 + 2 * text->size()), kDescriptorString};
  for (const char c : *text) {
    descriptor.push_back(static_cast<std::uint8_t>(c));
    descriptor.push_back(0);
  }
  return descriptor;
}

bool UsbKeyDevice::SetConfiguration(std::uint8_t value) {
  if (value != 0 && value != kConfigurationValue) return false;
  m_configuration = value;
  // A new configuration starts its endpoints afresh.
  m_transport.BusReset();
  return true;
}

void UsbKeyDevice::BusReset() {
  m_configuration = 0;
  m_transport.BusReset();
}

ControlReply UsbKeyDevice::Control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                                   std::uint16_t index, std::uint16_t length, const std::vector<std::uint8_t>&) {
  ControlReply reply;
  const std::uint8_t type = requestType & kTypeMask;
  if (type == kTypeStandard) {
    reply = Standard(requestType, request, value, index);
  } else if (type == kTypeClass && (requestType & kRecipientMask) == kRecipientInterface && index == 0) {
    if (request == kMassStorageReset && requestType == kTypeClass + kRecipientInterface && value == 0 && length == 0) {
      m_transport.MassStorageReset();
    } else if (request == kGetMaxLun && requestType == kRequestIn + kTypeClass + kRecipientInterface && value == 0 &&
               length == 1) {
      reply.data = {BulkOnlyTransport::kMaxLun};
    } else {
      reply.stall = true;
    }
  } else {
    reply.stall = true;
  }
  if (reply.data.size() > length) reply.data.resize(length);
  return reply;
}

ControlReply UsbKeyDevice::Standard(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                                    std::uint16_t index) {
  ControlReply reply;
  const std::uint8_t recipient = requestType & kRecipientMask;
  const bool endpointIn = Low(index) == kBulkInEndpoint;
  const bool bulkEndpoint = recipient == kRecipientEndpoint && (endpointIn || Low(index) == kBulkOutEndpoint);
  switch (request) {
    case kGetDescriptor:
      switch (High(value)) {
        case kDescriptorDevice: reply.data = DeviceDescriptor(); break;
        case kDescriptorConfiguration: reply.data = ConfigurationDescriptor(); break;
        case kDescriptorString: reply.data = StringDescriptor(Low(value)); break;
        case kDescriptorQualifier: {
          // The same device at full speed: one configuration, class per interface.
          reply.data = {10, kDescriptorQualifier, 0x00, 0x02, 0, 0, 0, 64, 1, 0};
          break;
        }
        default: break;
      }
      reply.stall = reply.data.empty();
      return reply;
    case kGetStatus:
      if (recipient == kRecipientEndpoint) {
        if (bulkEndpoint) {
          reply.data = {static_cast<std::uint8_t>(m_transport.Halted(endpointIn) ? 1 : 0), 0};
        } else if (Low(index) == 0) {
          reply.data = {0, 0};
        } else {
          reply.stall = true;
        }
      } else {
        reply.data = {0, 0};
      }
      return reply;
    case kClearFeature:
    case kSetFeature:
      if (!bulkEndpoint || value != kEndpointHalt) {
        reply.stall = recipient == kRecipientEndpoint && Low(index) != 0;
        return reply;
      }
      if (request == kClearFeature) {
        m_transport.ClearHalt(endpointIn);
      } else {
        m_transport.SetHalt(endpointIn);
      }
      return reply;
    case kGetConfiguration:
      reply.data = {m_configuration};
      return reply;
    case kSetConfiguration:
      reply.stall = !SetConfiguration(Low(value));
      return reply;
    case kGetInterface:
      reply.data = {0};
      return reply;
    case kSetInterface:
      reply.stall = index != 0 || value != 0;
      return reply;
    default:
      reply.stall = true;
      return reply;
  }
}

}  // namespace usb
