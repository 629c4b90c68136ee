#include "tests/usb/usbredir_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "usb/usbredir_key_server.h"

namespace usb_test {

namespace {

UsbredirPeer& Peer(void* priv) { return *static_cast<UsbredirPeer*>(priv); }

}  // namespace

UsbredirPeer::UsbredirPeer(usb::UsbKeyDevice& device) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0 || pipe(m_stop) != 0) std::abort();
  m_fd = fds[0];
  m_serverFd = fds[1];
  m_server = std::thread([this, &device] {
    usb::UsbredirKeyServer server(device, m_serverFd);
    server.Run(m_stop[0]);
  });
  Start();
}

UsbredirPeer::UsbredirPeer(int connectedFd) : m_fd(connectedFd) { Start(); }

void UsbredirPeer::Start() {
  fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
  m_parser = usbredirparser_create();
  usbredirparser& p = *m_parser;
  p.priv = this;
  p.log_func = [](void*, int, const char*) {};
  p.read_func = [](void* priv, std::uint8_t* data, int count) -> int {
    const ssize_t n = read(Peer(priv).Fd(), data, static_cast<std::size_t>(count));
    if (n > 0) return static_cast<int>(n);
    return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
  };
  p.write_func = [](void* priv, std::uint8_t* data, int count) -> int {
    const ssize_t n = send(Peer(priv).Fd(), data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
  };
  p.hello_func = [](void*, usb_redir_hello_header*) {};
  p.device_connect_func = [](void* priv, usb_redir_device_connect_header* h) {
    Peer(priv).Connect(h->vendor_id, h->product_id);
  };
  p.device_disconnect_func = [](void*) {};
  p.interface_info_func = [](void* priv, usb_redir_interface_info_header* h) {
    Peer(priv).Interfaces(h->interface_class, h->interface_subclass, h->interface_protocol);
  };
  p.ep_info_func = [](void*, usb_redir_ep_info_header*) {};
  p.configuration_status_func = [](void* priv, std::uint64_t id, usb_redir_configuration_status_header* h) {
    Peer(priv).Answered(id, h->status, nullptr, 0);
  };
  p.alt_setting_status_func = [](void* priv, std::uint64_t id, usb_redir_alt_setting_status_header* h) {
    Peer(priv).Answered(id, h->status, nullptr, 0);
  };
  p.iso_stream_status_func = [](void*, std::uint64_t, usb_redir_iso_stream_status_header*) {};
  p.interrupt_receiving_status_func = [](void*, std::uint64_t, usb_redir_interrupt_receiving_status_header*) {};
  p.bulk_streams_status_func = [](void*, std::uint64_t, usb_redir_bulk_streams_status_header*) {};
  p.bulk_receiving_status_func = [](void*, std::uint64_t, usb_redir_bulk_receiving_status_header*) {};
  p.control_packet_func = [](void* priv, std::uint64_t id, usb_redir_control_packet_header* h, std::uint8_t* data,
                             int length) {
    Peer(priv).Answered(id, h->status, data, length);
    usbredirparser_free_packet_data(Peer(priv).Parser(), data);
  };
  p.bulk_packet_func = [](void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data,
                          int length) {
    Peer(priv).Answered(id, h->status, data, length);
    usbredirparser_free_packet_data(Peer(priv).Parser(), data);
  };
  p.iso_packet_func = [](void* priv, std::uint64_t, usb_redir_iso_packet_header*, std::uint8_t* data, int) {
    usbredirparser_free_packet_data(Peer(priv).Parser(), data);
  };
  p.interrupt_packet_func = [](void* priv, std::uint64_t, usb_redir_interrupt_packet_header*, std::uint8_t* data,
                               int) { usbredirparser_free_packet_data(Peer(priv).Parser(), data); };
  p.buffered_bulk_packet_func = [](void* priv, std::uint64_t, usb_redir_buffered_bulk_packet_header*,
                                   std::uint8_t* data, int) {
    usbredirparser_free_packet_data(Peer(priv).Parser(), data);
  };
  p.filter_reject_func = [](void*) {};
  p.filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { free(rules); };
  p.device_disconnect_ack_func = [](void*) {};
  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(m_parser, "usb bus test", caps, USB_REDIR_CAPS_SIZE, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!m_connected && std::chrono::steady_clock::now() < deadline) Pump(100);
}

UsbredirPeer::~UsbredirPeer() {
  if (m_server.joinable()) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = write(m_stop[1], &byte, 1);
    m_server.join();
  }
  usbredirparser_destroy(m_parser);
  for (const int fd : {m_fd, m_serverFd, m_stop[0], m_stop[1]}) {
    if (fd >= 0) close(fd);
  }
}

void UsbredirPeer::Interfaces(const std::uint8_t* classes, const std::uint8_t* subclasses,
                              const std::uint8_t* protocols) {
  std::memcpy(m_interfaceClass, classes, 32);
  std::memcpy(m_interfaceSubclass, subclasses, 32);
  std::memcpy(m_interfaceProtocol, protocols, 32);
}

void UsbredirPeer::Answered(std::uint64_t id, std::uint8_t status, const std::uint8_t* data, int length) {
  Answer& answer = m_answers[id];
  answer.status = status == usb_redir_success ? Status::kSuccess : status == usb_redir_stall ? Status::kStall
                                                                                               : Status::kOther;
  if (data != nullptr && length > 0) answer.data.assign(data, data + length);
}

void UsbredirPeer::Pump(int timeoutMs) {
  while (usbredirparser_has_data_to_write(m_parser)) {
    if (usbredirparser_do_write(m_parser) != 0) return;
  }
  pollfd fd{m_fd, POLLIN, 0};
  if (poll(&fd, 1, timeoutMs) > 0) usbredirparser_do_read(m_parser);
}

Answer UsbredirPeer::Await(std::uint64_t id) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (m_answers.count(id) == 0 && std::chrono::steady_clock::now() < deadline) Pump(50);
  const auto it = m_answers.find(id);
  if (it == m_answers.end()) return {};
  Answer answer = std::move(it->second);
  m_answers.erase(it);
  return answer;
}

Answer UsbredirPeer::Control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                             std::uint16_t index, std::uint16_t length) {
  usb_redir_control_packet_header h{};
  h.endpoint = requestType & 0x80;
  h.request = request;
  h.requesttype = requestType;
  h.value = value;
  h.index = index;
  h.length = length;
  const std::uint64_t id = m_nextId++;
  usbredirparser_send_control_packet(m_parser, id, &h, nullptr, 0);
  return Await(id);
}

Answer UsbredirPeer::SetConfiguration(std::uint8_t value) {
  usb_redir_set_configuration_header h{value};
  const std::uint64_t id = m_nextId++;
  usbredirparser_send_set_configuration(m_parser, id, &h);
  return Await(id);
}

Answer UsbredirPeer::BulkOut(const std::vector<std::uint8_t>& data) {
  usb_redir_bulk_packet_header h{};
  h.endpoint = usb::kBulkOutEndpoint;
  h.length = static_cast<std::uint16_t>(data.size());
  h.length_high = static_cast<std::uint16_t>(data.size() >> 16);
  const std::uint64_t id = m_nextId++;
  usbredirparser_send_bulk_packet(m_parser, id, &h, const_cast<std::uint8_t*>(data.data()),
                                  static_cast<int>(data.size()));
  return Await(id);
}

Answer UsbredirPeer::BulkIn(std::uint32_t length) {
  usb_redir_bulk_packet_header h{};
  h.endpoint = usb::kBulkInEndpoint;
  h.length = static_cast<std::uint16_t>(length);
  h.length_high = static_cast<std::uint16_t>(length >> 16);
  const std::uint64_t id = m_nextId++;
  usbredirparser_send_bulk_packet(m_parser, id, &h, nullptr, 0);
  return Await(id);
}

}  // namespace usb_test
