// The device side of the usbredir protocol (the side that has the device, in usbredir's
// words the "USB host") over one connected socket, serving a UsbKeyDevice: the peer (qemu's
// usb-redir, or a test) enumerates it and sends its control and bulk transfers through it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "usb/usb_key_device.h"

struct usbredirparser;

namespace usb {

class UsbredirKeyServer {
 public:
  // `fd` is a connected stream socket; it is made non-blocking and stays the caller's.
  UsbredirKeyServer(UsbKeyDevice& device, int fd);
  ~UsbredirKeyServer();
  UsbredirKeyServer(const UsbredirKeyServer&) = delete;
  UsbredirKeyServer& operator=(const UsbredirKeyServer&) = delete;

  // Serves until the peer closes the connection (true) or the connection fails (false). A
  // readable `stopFd` ends the service early (true).
  bool Run(int stopFd = -1);

  // Checked after every packet the peer sent: once true, the service ends at once (true), before
  // the device has answered that packet, as a stick pulled out of its socket leaves its last
  // command unanswered.
  void PullOutWhen(std::function<bool()> condition) { m_pullOut = std::move(condition); }

  // Callbacks from the parser.
  int ReadSocket(std::uint8_t* data, int count);
  int WriteSocket(std::uint8_t* data, int count);
  void PeerHello();
  void Reset();
  void SetConfiguration(std::uint64_t id, std::uint8_t value);
  void GetConfiguration(std::uint64_t id);
  void AltSetting(std::uint64_t id, std::uint8_t interface, std::optional<std::uint8_t> alt);
  void ControlPacket(std::uint64_t id, const void* header, std::uint8_t* data, int length);
  void BulkPacket(std::uint64_t id, const void* header, std::uint8_t* data, int length);
  void Cancel(std::uint64_t id);

 private:
  struct PendingIn {
    std::uint64_t id;
    std::uint8_t endpoint;
    std::uint32_t length;
  };
  void SendEndpointInfo();
  // Answers a bulk-in request now, or keeps it for when the device has something.
  bool AnswerBulkIn(const PendingIn& request);

  UsbKeyDevice& m_device;
  int m_fd;
  usbredirparser* m_parser = nullptr;
  std::function<bool()> m_pullOut;
  bool m_peerClosed = false;
  bool m_failed = false;
  std::optional<PendingIn> m_pendingIn;
};

}  // namespace usb
