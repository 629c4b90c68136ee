#include "usb/usbredir_key_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace usb {

namespace {

UsbredirKeyServer& Server(void* priv) { return *static_cast<UsbredirKeyServer*>(priv); }

// usbredir numbers endpoints 0-15 out, 16-31 in.
int EndpointSlot(std::uint8_t endpoint) { return ((endpoint & 0x80) >> 3) | (endpoint & 0x0F); }

void Log(void*, int level, const char* message) {
  if (level <= usbredirparser_warning) std::fprintf(stderr, "stelvarion-usb-key: usbredir: %s\n", message);
}

}  // namespace

UsbredirKeyServer::UsbredirKeyServer(UsbKeyDevice& device, int fd) : m_device(device), m_fd(fd) {
  fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
  m_parser = usbredirparser_create();
  usbredirparser& p = *m_parser;
  p.priv = this;
  p.log_func = Log;
  p.read_func = [](void* priv, std::uint8_t* data, int count) { return Server(priv).ReadSocket(data, count); };
  p.write_func = [](void* priv, std::uint8_t* data, int count) { return Server(priv).WriteSocket(data, count); };
  p.hello_func = [](void* priv, usb_redir_hello_header*) { Server(priv).PeerHello(); };
  p.reset_func = [](void* priv) { Server(priv).Reset(); };
  p.set_configuration_func = [](void* priv, std::uint64_t id, usb_redir_set_configuration_header* h) {
    Server(priv).SetConfiguration(id, h->configuration);
  };
  p.get_configuration_func = [](void* priv, std::uint64_t id) { Server(priv).GetConfiguration(id); };
  p.set_alt_setting_func = [](void* priv, std::uint64_t id, usb_redir_set_alt_setting_header* h) {
    Server(priv).AltSetting(id, h->interface, h->alt);
  };
  p.get_alt_setting_func = [](void* priv, std::uint64_t id, usb_redir_get_alt_setting_header* h) {
    Server(priv).AltSetting(id, h->interface, std::nullopt);
  };
  p.control_packet_func = [](void* priv, std::uint64_t id, usb_redir_control_packet_header* h, std::uint8_t* data,
                             int length) { Server(priv).ControlPacket(id, h, data, length); };
  p.bulk_packet_func = [](void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data,
                          int length) { Server(priv).BulkPacket(id, h, data, length); };
  p.cancel_data_packet_func = [](void* priv, std::uint64_t id) { Server(priv).Cancel(id); };
  // A mass-storage stick has no isochronous or interrupt endpoints and no streams: such
  // requests are answered as being for an endpoint the device does not have.
  p.start_iso_stream_func = [](void* priv, std::uint64_t id, usb_redir_start_iso_stream_header* h) {
    usb_redir_iso_stream_status_header status{usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(Server(priv).m_parser, id, &status);
  };
  p.stop_iso_stream_func = [](void* priv, std::uint64_t id, usb_redir_stop_iso_stream_header* h) {
    usb_redir_iso_stream_status_header status{usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(Server(priv).m_parser, id, &status);
  };
  p.start_interrupt_receiving_func = [](void* priv, std::uint64_t id, usb_redir_start_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_inval, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(Server(priv).m_parser, id, &status);
  };
  p.stop_interrupt_receiving_func = [](void* priv, std::uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_inval, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(Server(priv).m_parser, id, &status);
  };
  p.alloc_bulk_streams_func = [](void* priv, std::uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header status{h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Server(priv).m_parser, id, &status);
  };
  p.free_bulk_streams_func = [](void* priv, std::uint64_t id, usb_redir_free_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header status{h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Server(priv).m_parser, id, &status);
  };
  p.start_bulk_receiving_func = [](void* priv, std::uint64_t id, usb_redir_start_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header status{h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(Server(priv).m_parser, id, &status);
  };
  p.stop_bulk_receiving_func = [](void* priv, std::uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header status{h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(Server(priv).m_parser, id, &status);
  };
  p.iso_packet_func = [](void* priv, std::uint64_t, usb_redir_iso_packet_header*, std::uint8_t* data, int) {
    usbredirparser_free_packet_data(Server(priv).m_parser, data);
  };
  p.interrupt_packet_func = [](void* priv, std::uint64_t, usb_redir_interrupt_packet_header*, std::uint8_t* data,
                               int) { usbredirparser_free_packet_data(Server(priv).m_parser, data); };
  p.filter_reject_func = [](void*) {};
  p.filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { free(rules); };
  p.device_disconnect_ack_func = [](void*) {};

  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_init(m_parser, "stelvarion-usb-key", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
}

UsbredirKeyServer::~UsbredirKeyServer() { usbredirparser_destroy(m_parser); }

bool UsbredirKeyServer::Run(int stopFd) {
  while (!m_peerClosed && !m_failed) {
    if (usbredirparser_has_data_to_write(m_parser) && usbredirparser_do_write(m_parser) != 0) {
      // A peer that left before our hello reached it has left all the same.
      m_failed = !m_peerClosed;
      break;
    }
    pollfd fds[2] = {{m_fd, static_cast<short>(POLLIN | (usbredirparser_has_data_to_write(m_parser) ? POLLOUT : 0)), 0},
                     {stopFd, POLLIN, 0}};
    const int n = poll(fds, stopFd >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      m_failed = true;
      break;
    }
    if (stopFd >= 0 && (fds[1].revents & POLLIN) != 0) return true;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const int read = usbredirparser_do_read(m_parser);
      // A parse error skips to the next packet; only the connection's end stops the device.
      if (read == usbredirparser_read_io_error && !m_peerClosed) m_failed = true;
      if (m_pullOut && m_pullOut()) return true;
    }
  }
  return !m_failed;
}

int UsbredirKeyServer::ReadSocket(std::uint8_t* data, int count) {
  const ssize_t n = read(m_fd, data, static_cast<std::size_t>(count));
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  // A peer that closed with our bytes unread resets the connection: it has left too.
  m_peerClosed = n == 0 || errno == ECONNRESET;
  return -1;
}

int UsbredirKeyServer::WriteSocket(std::uint8_t* data, int count) {
  const ssize_t n = send(m_fd, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  m_peerClosed = errno == EPIPE || errno == ECONNRESET;
  return -1;
}

void UsbredirKeyServer::SendEndpointInfo() {
  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface_class[0] = kInterfaceClass;
  interfaces.interface_subclass[0] = kInterfaceSubclass;
  interfaces.interface_protocol[0] = kInterfaceProtocol;
  usbredirparser_send_interface_info(m_parser, &interfaces);

  usb_redir_ep_info_header endpoints{};
  std::memset(endpoints.type, usb_redir_type_invalid, sizeof endpoints.type);
  endpoints.type[EndpointSlot(0x00)] = usb_redir_type_control;
  endpoints.type[EndpointSlot(0x80)] = usb_redir_type_control;
  endpoints.max_packet_size[EndpointSlot(0x00)] = 64;
  endpoints.max_packet_size[EndpointSlot(0x80)] = 64;
  for (const std::uint8_t endpoint : {kBulkInEndpoint, kBulkOutEndpoint}) {
    endpoints.type[EndpointSlot(endpoint)] = usb_redir_type_bulk;
    endpoints.max_packet_size[EndpointSlot(endpoint)] = kBulkMaxPacket;
  }
  usbredirparser_send_ep_info(m_parser, &endpoints);
}

void UsbredirKeyServer::PeerHello() {
  SendEndpointInfo();
  const UsbIdentity& id = m_device.Identity();
  usb_redir_device_connect_header connect{};
  connect.speed = usb_redir_speed_high;
  connect.vendor_id = id.vendorId;
  connect.product_id = id.productId;
  connect.device_version_bcd = id.deviceRelease;
  usbredirparser_send_device_connect(m_parser, &connect);
}

void UsbredirKeyServer::Reset() {
  // A port reset keeps the configuration, as the device's host restores it after a reset.
  const std::uint8_t configuration = m_device.Configuration();
  m_device.BusReset();
  m_device.SetConfiguration(configuration);
  if (m_pendingIn) Cancel(m_pendingIn->id);
}

void UsbredirKeyServer::SetConfiguration(std::uint64_t id, std::uint8_t value) {
  const bool ok = m_device.SetConfiguration(value);
  if (ok) SendEndpointInfo();
  usb_redir_configuration_status_header status{static_cast<std::uint8_t>(ok ? usb_redir_success : usb_redir_stall),
                                               m_device.Configuration()};
  usbredirparser_send_configuration_status(m_parser, id, &status);
}

void UsbredirKeyServer::GetConfiguration(std::uint64_t id) {
  usb_redir_configuration_status_header status{usb_redir_success, m_device.Configuration()};
  usbredirparser_send_configuration_status(m_parser, id, &status);
}

void UsbredirKeyServer::AltSetting(std::uint64_t id, std::uint8_t interface, std::optional<std::uint8_t> alt) {
  // One interface with one setting.
  const bool ok = interface == 0 && alt.value_or(0) == 0;
  usb_redir_alt_setting_status_header status{static_cast<std::uint8_t>(ok ? usb_redir_success : usb_redir_inval),
                                             interface, 0};
  usbredirparser_send_alt_setting_status(m_parser, id, &status);
}

void UsbredirKeyServer::ControlPacket(std::uint64_t id, const void* header, std::uint8_t* data, int length) {
  usb_redir_control_packet_header h;
  std::memcpy(&h, header, sizeof h);
  std::vector<std::uint8_t> out;
  if (data != nullptr) out.assign(data, data + length);
  usbredirparser_free_packet_data(m_parser, data);
  const ControlReply reply = m_device.Control(h.requesttype, h.request, h.value, h.index, h.length, out);
  h.status = reply.stall ? usb_redir_stall : usb_redir_success;
  if ((h.requesttype & 0x80) != 0) {
    h.length = static_cast<std::uint16_t>(reply.data.size());
    usbredirparser_send_control_packet(m_parser, id, &h, const_cast<std::uint8_t*>(reply.data.data()),
                                       static_cast<int>(reply.data.size()));
  } else {
    if (reply.stall) h.length = 0;
    usbredirparser_send_control_packet(m_parser, id, &h, nullptr, 0);
  }
  // CLEAR_FEATURE may have freed the bulk-in endpoint a pending request waits on.
  if (m_pendingIn && AnswerBulkIn(*m_pendingIn)) m_pendingIn.reset();
}

bool UsbredirKeyServer::AnswerBulkIn(const PendingIn& request) {
  std::vector<std::uint8_t> bytes;
  const Transfer transfer = m_device.Transport().BulkIn(request.length, bytes);
  if (transfer == Transfer::kPending) return false;
  usb_redir_bulk_packet_header h{};
  h.endpoint = request.endpoint;
  h.status = transfer == Transfer::kStall ? usb_redir_stall : usb_redir_success;
  h.length = static_cast<std::uint16_t>(bytes.size());
  h.length_high = static_cast<std::uint16_t>(bytes.size() >> 16);
  usbredirparser_send_bulk_packet(m_parser, request.id, &h, bytes.data(), static_cast<int>(bytes.size()));
  return true;
}

void UsbredirKeyServer::BulkPacket(std::uint64_t id, const void* header, std::uint8_t* data, int length) {
  usb_redir_bulk_packet_header h;
  std::memcpy(&h, header, sizeof h);
  const std::uint32_t requested = h.length | std::uint32_t{h.length_high} << 16;
  if (h.endpoint == kBulkInEndpoint) {
    usbredirparser_free_packet_data(m_parser, data);
    const PendingIn request{id, h.endpoint, requested};
    if (m_pendingIn || !AnswerBulkIn(request)) {
      if (m_pendingIn) Cancel(m_pendingIn->id);
      m_pendingIn = request;
    }
    return;
  }
  Transfer transfer = Transfer::kStall;
  if (h.endpoint == kBulkOutEndpoint) transfer = m_device.Transport().BulkOut(data, static_cast<std::size_t>(length));
  usbredirparser_free_packet_data(m_parser, data);
  h.status = transfer == Transfer::kStall ? usb_redir_stall : usb_redir_success;
  if (transfer == Transfer::kStall) h.length = h.length_high = 0;
  usbredirparser_send_bulk_packet(m_parser, id, &h, nullptr, 0);
  if (m_pendingIn && AnswerBulkIn(*m_pendingIn)) m_pendingIn.reset();
}

void UsbredirKeyServer::Cancel(std::uint64_t id) {
  if (!m_pendingIn || m_pendingIn->id != id) return;  // answered already
  usb_redir_bulk_packet_header h{};
  h.endpoint = m_pendingIn->endpoint;
  h.status = usb_redir_cancelled;
  usbredirparser_send_bulk_packet(m_parser, id, &h, nullptr, 0);
  m_pendingIn.reset();
}

}  // namespace usb
