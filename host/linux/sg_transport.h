// One command block through SG_IO (sg_io_hdr, interface 'S') on a disk's descriptor.
#pragma once

#include <cstdint>

#include "host/linux/device_calls.h"

namespace linuxhost {

struct SgCommand {
  const std::uint8_t* cdb = nullptr;
  std::uint8_t cdbLength = 0;
  bool dataIn = false;
  void* data = nullptr;  // null or length 0: no data phase
  std::uint32_t length = 0;
  std::uint8_t* sense = nullptr;  // the caller's sense buffer
  std::uint8_t senseRoom = 0;
  std::uint32_t timeoutMs = 60000;
};

struct SgOutcome {
  // The device received the command and answered a SCSI status. False for anything that went
  // wrong on the way (the ioctl itself, the host adapter, the driver): such an answer carries no
  // status of the device, so it must never read as GOOD.
  bool delivered = false;
  std::uint8_t status = 0;        // the device's SCSI status byte
  int error = 0;                  // -errno of a failed ioctl
  std::uint16_t hostStatus = 0;   // DID_* of the host adapter
  std::uint16_t driverStatus = 0; // DRIVER_* of the mid layer
  std::uint8_t senseWritten = 0;
  std::int32_t residue = 0;       // bytes of the data phase that did not move
};

SgOutcome SendSgIo(DeviceCalls& calls, int fd, const SgCommand& command);

// The failure in words ("host adapter status 0x0001", "Operation not permitted"), for messages.
const char* DescribeSgFailure(const SgOutcome& outcome, char* text, unsigned size);

}  // namespace linuxhost
