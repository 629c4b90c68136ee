// The other end of the key's usbredir connection, as qemu's usb-redir is: libusbredirparser's
// side without the device. The key's server runs on a thread of its own over a socket pair;
// each call here is one transfer, answered before it returns.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "usb/usb_key_device.h"

struct usbredirparser;

namespace usb_test {

enum class Status { kSuccess, kStall, kOther, kNoAnswer };

struct Answer {
  Status status = Status::kNoAnswer;
  std::vector<std::uint8_t> data;
};

class UsbredirPeer {
 public:
  explicit UsbredirPeer(usb::UsbKeyDevice& device);
  // A peer on a socket already connected to a device elsewhere (stelvarion-usb-key); the
  // socket becomes the peer's.
  explicit UsbredirPeer(int connectedFd);
  ~UsbredirPeer();

  // What the device announced on connecting.
  bool Connected() const { return m_connected; }
  std::uint16_t VendorId() const { return m_vendorId; }
  std::uint16_t ProductId() const { return m_productId; }
  std::uint8_t InterfaceClass(int i) const { return m_interfaceClass[i]; }
  std::uint8_t InterfaceSubclass(int i) const { return m_interfaceSubclass[i]; }
  std::uint8_t InterfaceProtocol(int i) const { return m_interfaceProtocol[i]; }

  Answer Control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 std::uint16_t length);
  Answer SetConfiguration(std::uint8_t value);
  Answer BulkOut(const std::vector<std::uint8_t>& data);
  Answer BulkIn(std::uint32_t length);

  // Callbacks from the parser.
  void Connect(std::uint16_t vendor, std::uint16_t product) {
    m_connected = true;
    m_vendorId = vendor;
    m_productId = product;
  }
  void Interfaces(const std::uint8_t* classes, const std::uint8_t* subclasses, const std::uint8_t* protocols);
  void Answered(std::uint64_t id, std::uint8_t status, const std::uint8_t* data, int length);
  usbredirparser* Parser() { return m_parser; }
  int Fd() const { return m_fd; }

 private:
  void Start();
  // Reads until the answer to `id` has come (or 5 s have passed).
  Answer Await(std::uint64_t id);
  void Pump(int timeoutMs);

  int m_fd = -1;
  int m_serverFd = -1;
  int m_stop[2] = {-1, -1};
  usbredirparser* m_parser = nullptr;
  std::thread m_server;
  std::uint64_t m_nextId = 1;
  std::map<std::uint64_t, Answer> m_answers;
  bool m_connected = false;
  std::uint16_t m_vendorId = 0;
  std::uint16_t m_productId = 0;
  std::uint8_t m_interfaceClass[32] = {};
  std::uint8_t m_interfaceSubclass[32] = {};
  std::uint8_t m_interfaceProtocol[32] = {};
};

}  // namespace usb_test
