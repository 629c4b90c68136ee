#include "host/linux/sg_transport.h"

#include <scsi/sg.h>

#include <cstdio>
#include <cstring>

namespace linuxhost {
namespace {

// The mid layer sets DRIVER_SENSE beside a CHECK CONDITION whose sense it returned: that is an
// answer of the device, not a failure of the driver.
constexpr std::uint16_t kDriverSense = 0x08;

}  // namespace

SgOutcome SendSgIo(DeviceCalls& calls, int fd, const SgCommand& command) {
  sg_io_hdr_t header;
  std::memset(&header, 0, sizeof header);
  header.interface_id = 'S';
  const bool hasData = command.data != nullptr && command.length > 0;
  header.dxfer_direction = !hasData ? SG_DXFER_NONE : command.dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  header.cmd_len = command.cdbLength;
  header.cmdp = const_cast<unsigned char*>(command.cdb);
  header.dxferp = hasData ? command.data : nullptr;
  header.dxfer_len = hasData ? command.length : 0;
  header.sbp = command.sense;
  header.mx_sb_len = command.sense != nullptr ? command.senseRoom : 0;
  header.timeout = command.timeoutMs;

  SgOutcome outcome;
  const int answer = calls.Ioctl(fd, SG_IO, &header);
  if (answer < 0) {
    outcome.error = answer;
    return outcome;
  }
  outcome.hostStatus = header.host_status;
  outcome.driverStatus = header.driver_status;
  outcome.status = header.status;
  outcome.senseWritten = header.sb_len_wr;
  outcome.residue = header.resid;
  outcome.delivered = header.host_status == 0 && (header.driver_status & ~kDriverSense) == 0;
  return outcome;
}

const char* DescribeSgFailure(const SgOutcome& outcome, char* text, unsigned size) {
  if (outcome.error != 0) {
    std::snprintf(text, size, "%s", std::strerror(-outcome.error));
  } else if (outcome.hostStatus != 0) {
    std::snprintf(text, size, "host adapter status 0x%04X", outcome.hostStatus);
  } else {
    std::snprintf(text, size, "driver status 0x%04X", outcome.driverStatus);
  }
  return text;
}

}  // namespace linuxhost
