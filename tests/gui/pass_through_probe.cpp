// Sends two commands to the key at drive E: through the Windows host's volume port, as the
// program's pass-through transport lays them out, and prints what came back: a standard INQUIRY
// (status and data) and an operation code no device knows (status and the sense the request's
// sense area holds). The program itself never reads sense data; this shows that it would be
// found where the request says.
//
// Usage: pass_through_probe [OUTPUT]   (prints, to OUTPUT when given, "inquiry status S, N bytes, vendor TEXT" and
//                              "unknown opcode status S, sense key K, ASC A"; exit 1 when E: cannot be opened)
#include <cstdio>
#include <cstring>
#include <string>

#include "host/byte_order.h"
#include "host/handle.h"
#include "host/host.h"
#include "host/pass_through_request.h"
#include "host/volume_port.h"
#include "host/win32/win32_host.h"

namespace pt = pass_through;

namespace {

bool Send(host::Handle volume, const std::uint8_t* cdb, std::uint8_t cdbLength, bool dataIn, std::uint8_t* data,
          std::uint32_t length, host::PassThroughRequest& request) {
  pt::FillRequest(request.image.data(), cdb, cdbLength, dataIn, length);
  request.dataBuffer = data;
  std::uint32_t returned = 0;
  return host::Volumes().SendPassThrough(volume, host::win32::IOCTL_SCSI_PASS_THROUGH_DIRECT, request,
                                         pt::kRequestSize, pt::kRequestSize, &returned);
}

}  // namespace

int main(int argc, char** argv) {
  // A console program under wine without a terminal gets one drawn in escape sequences.
  if (argc > 1 && std::freopen(argv[1], "w", stdout) == nullptr) return 2;
  win32host::Win32Host windows;
  windows.Install();
  const host::Handle volume =
      host::Volumes().OpenVolume("\\\\.\\E:", host::win32::GENERIC_READ | host::win32::GENERIC_WRITE,
                                 host::win32::FILE_SHARE_READ | host::win32::FILE_SHARE_WRITE,
                                 host::win32::OPEN_EXISTING, 0);
  if (volume == host::kInvalidHandle) {
    std::printf("pass_through_probe: \\\\.\\E: cannot be opened\n");
    return 1;
  }
  const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
  std::uint8_t data[36] = {};
  host::PassThroughRequest asked;
  const bool sent = Send(volume, inquiry, sizeof inquiry, true, data, sizeof data, asked);
  std::printf("inquiry %s status %d, %lu bytes, vendor %s\n", sent ? "sent" : "failed", asked.image[pt::kScsiStatus],
              static_cast<unsigned long>(GetLittleEndian32(asked.image.data() + pt::kDataTransferLength)),
              std::string(reinterpret_cast<const char*>(data + 8), 8).c_str());
  const std::uint8_t unknown[10] = {0xC7};
  host::PassThroughRequest refused;
  const bool sentUnknown = Send(volume, unknown, sizeof unknown, false, nullptr, 0, refused);
  const std::uint8_t* sense = refused.image.data() + pt::kSense;
  std::printf("unknown opcode %s status %d, sense key %X, ASC %02X\n", sentUnknown ? "sent" : "failed",
              refused.image[pt::kScsiStatus], sense[2] & 0x0F, sense[12]);
  host::Volumes().CloseVolume(volume);
  return 0;
}
