#include "usb/key_scsi_unit.h"

#include <algorithm>
#include <string>

#include "key/scsi_decode.h"

namespace usb {

namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kPreventAllowRemoval = 0x1E;
constexpr std::uint8_t kReadCapacity10 = 0x25;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kSynchronizeCache10 = 0x35;
constexpr std::uint8_t kModeSense10 = 0x5A;

constexpr std::uint8_t kNotReady = 0x02;
constexpr std::uint8_t kUnitAttention = 0x06;
constexpr std::uint8_t kIllegalRequest = 0x05;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr std::uint8_t kAscLunNotSupported = 0x25;
constexpr std::uint8_t kAscMediumNotPresent = 0x3A;
constexpr std::uint8_t kAscMediumMayHaveChanged = 0x28;

constexpr std::uint32_t kSenseSize = 18;
constexpr std::uint32_t kLargestVendorTransfer = 65536;
constexpr std::uint32_t kInquirySize = 36;
constexpr std::uint32_t kReadCapacitySize = 8;
constexpr std::uint32_t kModeHeader6Size = 4;
constexpr std::uint32_t kModeHeader10Size = 8;
// MODE SENSE(6): the page code in byte 2, the write-protect bit in the header's byte 2.
constexpr std::uint8_t kPageCodeMask = 0x3F;
constexpr std::uint8_t kAllPages = 0x3F;
constexpr std::uint8_t kWriteProtectBit = 0x80;

DataPhase In(std::uint32_t length) { return {DataPhase::Direction::kIn, length}; }
DataPhase Out(std::uint32_t length) { return {DataPhase::Direction::kOut, length}; }

void StoreBigEndian32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

DataPhase KeyScsiUnit::IntendedPhase(const std::uint8_t* cdb, bool hostIn, std::uint32_t hostLength) const {
  switch (cdb[0]) {
    case kTestUnitReady:
    case kStartStopUnit:
    case kPreventAllowRemoval:
    case kSynchronizeCache10:
      return {};
    case kRequestSense:
      return In(std::min<std::uint32_t>(cdb[4], kSenseSize));
    case kInquiry:
      return In(std::min<std::uint32_t>(cdb[4], kInquirySize));
    case kModeSense6:
      return In(std::min<std::uint32_t>(cdb[4], kModeHeader6Size));
    case kModeSense10:
      return In(std::min<std::uint32_t>(emulated::BigEndian16At(cdb + 7), kModeHeader10Size));
    case kReadCapacity10:
      return In(kReadCapacitySize);
    case kRead10:
      return In(std::uint32_t{emulated::BigEndian16At(cdb + 7)} * emulated::kSectorSize);
    case kWrite10:
      return Out(std::uint32_t{emulated::BigEndian16At(cdb + 7)} * emulated::kSectorSize);
    default:
      // The key's own commands: the host's phase, which the key checks against its table.
      // A device buffers no more than its largest transfer; beyond it the residue tells.
      if (hostLength == 0) return {};
      return hostIn ? In(std::min(hostLength, kLargestVendorTransfer)) : Out(std::min(hostLength, kLargestVendorTransfer));
  }
}

ScsiResult KeyScsiUnit::Execute(const std::uint8_t* cdb, const DataPhase& phase,
                                const std::vector<std::uint8_t>& dataOut) {
  if (m_mediumChanged && cdb[0] != kInquiry) {
    m_mediumChanged = false;
    // REQUEST SENSE hands the attention over as its sense; any other command fails with it.
    if (cdb[0] != kRequestSense) return Fail(kUnitAttention, kAscMediumMayHaveChanged);
    m_sense = emulated::Sense{kUnitAttention, kAscMediumMayHaveChanged, 0};
  }
  switch (cdb[0]) {
    case kRequestSense:
      return RequestSense(phase.length);
    case kReadCapacity10:
      return ReadCapacity10();
    case kModeSense6:
      return ModeSense6(cdb, phase.length);
    case kStartStopUnit:
    case kPreventAllowRemoval:
    case kSynchronizeCache10:
      // A stick has no motor, no lock and no write cache: nothing to do, nothing refused.
      return Good();
    default:
      return ThroughKey(cdb, phase, dataOut);
  }
}

ScsiResult KeyScsiUnit::RefuseLun() { return Fail(kIllegalRequest, kAscLunNotSupported); }

ScsiResult KeyScsiUnit::Fail(std::uint8_t key, std::uint8_t asc) {
  m_sense = emulated::Sense{key, asc, 0};
  ScsiResult result;
  result.status = emulated::kStatusCheckCondition;
  return result;
}

ScsiResult KeyScsiUnit::Good(std::vector<std::uint8_t> data) {
  m_sense = emulated::Sense{};
  ScsiResult result;
  result.dataIn = std::move(data);
  return result;
}

ScsiResult KeyScsiUnit::ThroughKey(const std::uint8_t* cdb, const DataPhase& phase,
                                   const std::vector<std::uint8_t>& dataOut) {
  // The key reads its blocks at fixed positions of a 10- to 16-byte block; a six-byte command
  // comes with the CBW's zero padding behind it.
  ScsiResult result;
  std::vector<std::uint8_t> buffer;
  emulated::ScsiCommand command;
  command.cdb = cdb;
  command.cdbLength = kCdbSize;
  command.dataIn = phase.direction == DataPhase::Direction::kIn;
  command.length = phase.length;
  if (command.dataIn) {
    // INQUIRY and MODE SENSE(10) want room for their whole allocation.
    std::uint32_t room = phase.length;
    if (cdb[0] == kInquiry) room = cdb[4];
    if (cdb[0] == kModeSense10) room = emulated::BigEndian16At(cdb + 7);
    command.length = room;
    buffer.assign(room, 0);
    command.data = buffer.data();
  } else if (phase.length > 0) {
    buffer.assign(dataOut.begin(), dataOut.begin() + phase.length);
    command.data = buffer.data();
  }
  result.status = m_key.Execute(command);
  m_sense = m_key.LastSense();
  if (m_reportMediumChanges && result.status == emulated::kStatusGood && !m_key.Log().empty()) {
    const std::string& name = m_key.Log().back().name;
    if (name == "DeviceReset" || name == "RefreshMedium" || name == "SwitchMedium") m_mediumChanged = true;
  }
  if (result.status == emulated::kStatusGood) {
    if (command.dataIn) {
      buffer.resize(std::min(command.Answered(), phase.length));
      result.dataIn = std::move(buffer);
    } else {
      result.dataOutUsed = phase.length;
    }
  }
  return result;
}

ScsiResult KeyScsiUnit::RequestSense(std::uint32_t length) {
  const auto bytes = m_sense.Bytes();
  // Answering hands the sense over: the next REQUEST SENSE finds none.
  return Good(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + std::min<std::uint32_t>(length, kSenseSize)));
}

ScsiResult KeyScsiUnit::ReadCapacity10() {
  // The visible area, as READ/WRITE(10) address it: after a resize, the area the key shows.
  const std::uint64_t sectors = m_key.Areas().Visible().sectors;
  if (sectors == 0) return Fail(kNotReady, kAscMediumNotPresent);
  std::vector<std::uint8_t> data(kReadCapacitySize);
  StoreBigEndian32(data.data(), static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors - 1, 0xFFFFFFFFu)));
  StoreBigEndian32(data.data() + 4, emulated::kSectorSize);
  return Good(std::move(data));
}

ScsiResult KeyScsiUnit::ModeSense6(const std::uint8_t* cdb, std::uint32_t length) {
  // The header alone, for page 0 or all pages: no block descriptor, no page the key would keep.
  const std::uint8_t page = cdb[2] & kPageCodeMask;
  if (page != 0 && page != kAllPages) return Fail(kIllegalRequest, kAscInvalidFieldInCdb);
  std::vector<std::uint8_t> header(kModeHeader6Size, 0);
  header[0] = kModeHeader6Size - 1;  // mode data length, itself not counted
  header[2] = m_key.WriteProtected() ? kWriteProtectBit : 0;
  header.resize(length);
  return Good(std::move(header));
}

}  // namespace usb
