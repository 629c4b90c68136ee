// The device commands, one method each, in the order of their blocks.
#include "devlib/commands/command_catalogue.h"

#include <algorithm>
#include <cstring>

#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "devlib/transport.h"
#include "host/byte_order.h"
#include "host/host.h"

namespace {

constexpr int kDataIn = 1;
constexpr int kDataOut = 0;

// A text record: the text clamped to its field, the clamped length in the byte after it.
void PutTextRecord(std::uint8_t* record, std::size_t capacity, const char* text, std::uint32_t length) {
  const std::size_t n = std::min<std::size_t>(length, capacity);
  if (n > 0) std::memcpy(record, text, n);
  record[capacity] = static_cast<std::uint8_t>(n);
}

void Pause(std::uint32_t milliseconds, int times = 1) {
  for (int i = 0; i < times; ++i) host::Clock().Sleep(milliseconds);
}

}  // namespace

ResultCode ScsiFlashDevice::Send(const VendorCdb& cdb, int dataIn, void* buffer,
                                 std::uint32_t length, int* statusOut) {
  // Through the dispatch table, so that a derived device sees every command.
  FlashDevice& device = *this;
  return device.ExecuteCdb(dataIn, buffer, length, cdb.data(), statusOut);
}

VendorCdb ScsiFlashDevice::VendorWithByte(std::uint8_t subcodeValue, std::size_t position, int value) {
  VendorCdb cdb = BuildVendorCdb(subcodeValue);
  cdb[position] = static_cast<std::uint8_t>(value);
  return cdb;
}

ResultCode ScsiFlashDevice::SendOut(const VendorCdb& cdb, const void* buffer, std::uint32_t length,
                                    int* statusOut) {
  // Data to the key is only ever read by the transports (pass-through copies it first).
  return Send(cdb, kDataOut, const_cast<void*>(buffer), length, statusOut);
}

void ScsiFlashDevice::SettleAfterMediumChange(const char* rootPath) {
  Pause(pause_ms::kRefreshStep, pause_ms::kRefreshSteps);
  // The queries only make Windows look at the volume again after the key changed it.
  if (rootPath[0] != '\0') {
    std::uint64_t freeToCaller = 0, total = 0, totalFree = 0;
    host::Files().GetDiskFreeSpaceEx(rootPath, &freeToCaller, &total, &totalFree);
    std::uint32_t sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    host::Files().GetDiskFreeSpace(rootPath, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters);
  }
  TestUnitReady();
}

ResultCode ScsiFlashDevice::TestUnitReady() { return Send(BuildTestUnitReadyCdb(), kDataOut, nullptr, 0); }

ResultCode ScsiFlashDevice::Inquiry(char* vendorOut, char* productOut, char* revisionOut) {
  DecideTransport();
  if (TransportKind == kTransportHelperDriver) {
    return static_cast<FlashDevice*>(this)->GetInquiryStrings(vendorOut, productOut, revisionOut);
  }
  std::uint8_t data[36] = {};
  std::memset(vendorOut, 0, 8);
  std::memset(productOut, 0, 16);
  std::memset(revisionOut, 0, 4);
  const ResultCode result = Send(BuildInquiryCdb(), kDataIn, data, sizeof data);
  if (result == kResultSuccess) {
    std::memcpy(vendorOut, data + 8, 8);
    std::memcpy(productOut, data + 16, 16);
    std::memcpy(revisionOut, data + 32, 4);
    Pause(pause_ms::kAfterInquiry);
  }
  return result;
}

ResultCode ScsiFlashDevice::ReadBlocks(std::uint32_t lba, void* buffer, std::uint32_t count) {
  const std::uint32_t length = count * kBlockSize;
  std::memset(buffer, 0, length);
  int status = 0;
  const ResultCode result =
      Send(BuildRead10Cdb(lba, static_cast<std::uint16_t>(count)), kDataIn, buffer, length, &status);
  if (result != kResultSuccess) return result;
  // A refused read must never pass for a sector of zeros.
  return status == 0 ? kResultSuccess : kResultGeneralFailure;
}

ResultCode ScsiFlashDevice::WriteBlocks(std::uint32_t lba, const void* buffer, std::uint32_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t done = 0;
  while (done < count) {
    const std::uint32_t chunk = std::min(count - done, kBlocksPerWrite);
    int status = 0;
    const ResultCode result =
        SendOut(BuildWrite10Cdb(lba + done, static_cast<std::uint16_t>(chunk)),
                bytes + std::size_t{done} * kBlockSize, chunk * kBlockSize, &status);
    if (result != kResultSuccess) return result;
    // A write the key refused (a write-protected key) is never reported as written.
    if (status != 0) return kResultGeneralFailure;
    done += chunk;
  }
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::CheckWriteProtect() {
  std::uint8_t header[8] = {};
  const ResultCode result = Send(BuildModeSense10Cdb(), kDataIn, header, sizeof header);
  if (result != kResultSuccess) return result;
  return (header[3] & 0x80) != 0 ? kResultWriteProtected : kResultSuccess;
}

ResultCode ScsiFlashDevice::ResetDevice() {
  const ResultCode result = Send(BuildDeviceResetCdb(), kDataOut, nullptr, 0);
  Pause(pause_ms::kRefreshStep, pause_ms::kRefreshSteps);
  return result;
}

namespace {

// The key's root path for the refresh follow-up; empty when no letter is known, so that the
// queries never touch another drive.
void KeyRootPath(FlashDevice& device, char (&root)[4]) {
  char letter = '\0';
  device.GetDriveLetter(&letter);
  root[0] = letter;
  root[1] = letter != '\0' ? ':' : '\0';
  root[2] = letter != '\0' ? '\\' : '\0';
  root[3] = '\0';
}

}  // namespace

ResultCode ScsiFlashDevice::ResetAndRefresh() {
  char root[4];
  KeyRootPath(*this, root);
  const ResultCode result = Send(BuildDeviceResetCdb(), kDataOut, nullptr, 0);
  if (result == kResultSuccess) SettleAfterMediumChange(root);
  return result;
}

ResultCode ScsiFlashDevice::ProbeBlock(std::uint32_t address, int mode) {
  VendorCdb cdb = VendorWithByte(subcode::kProbeBlock, 5, mode);
  PutBigEndian32(cdb, 6, address);
  int status = 0;
  const ResultCode result = Send(cdb, kDataOut, nullptr, 0, &status);
  if (result != kResultSuccess) return result;
  return status != 0 ? kResultBlockFlagged : kResultSuccess;
}

ResultCode ScsiFlashDevice::WriteData72(void* buffer, std::uint32_t length) {
  std::memset(buffer, 0, length);
  return SendOut(BuildVendorCdb(subcode::kWriteData72), buffer, length);
}

ResultCode ScsiFlashDevice::WriteData73(void* buffer, std::uint32_t length) {
  std::memset(buffer, 0, length);
  return SendOut(BuildVendorCdb(subcode::kWriteData73), buffer, length);
}

ResultCode ScsiFlashDevice::SendCommand74() { return Send(BuildVendorCdb(subcode::kCommand74), kDataOut, nullptr, 0); }

ResultCode ScsiFlashDevice::SendCommand75() { return Send(BuildVendorCdb(subcode::kCommand75), kDataOut, nullptr, 0); }

ResultCode ScsiFlashDevice::SendCommand77(int index) {
  return Send(VendorWithByte(subcode::kCommand77, 4, index), kDataOut, nullptr, 0);
}

ResultCode ScsiFlashDevice::ReadData78(int index, void* buffer, std::uint32_t length) {
  std::memset(buffer, 0, length);
  return Send(VendorWithByte(subcode::kData78, 4, index), kDataIn, buffer, length);
}

ResultCode ScsiFlashDevice::ReadData79(int index, void* buffer, std::uint32_t length) {
  std::memset(buffer, 0, length);
  return Send(VendorWithByte(subcode::kData79, 4, index), kDataIn, buffer, length);
}

ResultCode ScsiFlashDevice::WriteData79(const void* buffer) {
  // Byte 4 keeps its filler: the write carries no index.
  return SendOut(VendorWithByte(subcode::kData79, 5, 0x01), buffer, payload::kData79Out);
}

ResultCode ScsiFlashDevice::ReadFlashConfig(int* typeCodeOut, int* bankCountOut) {
  *typeCodeOut = 0;
  *bankCountOut = 0;
  std::uint8_t data[4] = {};
  const ResultCode result = Send(BuildVendorCdb(subcode::kReadFlashConfig), kDataIn, data, sizeof data);
  if (result == kResultSuccess) {
    *typeCodeOut = GetLittleEndian16(data);
    *bankCountOut = GetLittleEndian16(data + 2);
  }
  return result;
}

ResultCode ScsiFlashDevice::SendCommand7B(int kind) {
  VendorCdb cdb = BuildVendorCdb(subcode::kCommand7B);
  if (kind >= 0 && kind <= 3) cdb[5] = static_cast<std::uint8_t>(kind);
  return Send(cdb, kDataOut, nullptr, 0);
}

ResultCode ScsiFlashDevice::ReadBulkArea(void* buffer) {
  std::memset(buffer, 0, payload::kBlock);  // only the first block is cleared
  return Send(BuildVendorCdb(subcode::kReadBulkArea), kDataIn, buffer, payload::kBulkArea);
}

ResultCode ScsiFlashDevice::WriteBulkArea(const void* buffer, std::uint32_t length) {
  if (length != payload::kBulkArea) return kResultGeneralFailure;
  return SendOut(BuildVendorCdb(subcode::kWriteBulkArea), buffer, payload::kBulkArea);
}

ResultCode ScsiFlashDevice::ReadData8B(int index, void* buffer, std::uint32_t length) {
  return Send(VendorWithByte(subcode::kReadData8B, 4, index), kDataIn, buffer, length);
}

ResultCode ScsiFlashDevice::ReadData8C(int index, void* buffer, std::uint32_t length) {
  return Send(VendorWithByte(subcode::kReadData8C, 4, index), kDataIn, buffer, length);
}

ResultCode ScsiFlashDevice::WriteParameterBlock(const std::uint8_t* block512) {
  return SendOut(BuildVendorCdb(subcode::kWriteParameterBlock), block512, payload::kParameterBlock);
}

ResultCode ScsiFlashDevice::ReadParameterBlock(std::uint8_t* block512) {
  std::memset(block512, 0, payload::kParameterBlock);
  return Send(BuildVendorCdb(subcode::kReadParameterBlock), kDataIn, block512, payload::kParameterBlock);
}

ResultCode ScsiFlashDevice::SubmitPassword(const char* text, std::uint32_t length, int wait, int area) {
  std::uint8_t record[payload::kPasswordRecord] = {};
  PutTextRecord(record, payload::kPasswordText, text, length);
  VendorCdb cdb = VendorWithByte(subcode::kSubmitPassword, 5, area);
  cdb[6] = wait != 0 ? 0x00 : 0x88;
  int status = 0;
  const ResultCode result = SendOut(cdb, record, sizeof record, &status);
  if (result != kResultSuccess) return result;
  if (status != 0) return kResultPasswordRefused;
  if (wait != 0) Pause(pause_ms::kAfterSubmitPassword);
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::ReadIdentityString(std::uint8_t* text14) {
  std::memset(text14, 0, 14);
  return Send(BuildVendorCdb(subcode::kReadIdentityString), kDataIn, text14, 14);
}

ResultCode ScsiFlashDevice::ChangePassword(const char* current, std::uint32_t currentLength,
                                           const char* next, std::uint32_t nextLength, const char* hint,
                                           std::uint32_t hintLength, int area) {
  std::uint8_t change[payload::kPasswordChange] = {};
  PutTextRecord(change + payload::kChangeCurrent, payload::kPasswordText, current, currentLength);
  PutTextRecord(change + payload::kChangeNew, payload::kPasswordText, next, nextLength);
  PutTextRecord(change + payload::kChangeHint, payload::kHintText, hint, hintLength);
  int status = 0;
  const ResultCode result = SendOut(VendorWithByte(subcode::kChangePassword, 5, area), change, sizeof change, &status);
  if (result != kResultSuccess) return result;
  if (status != 0) return kResultPasswordRefused;

  // The key keeps a copy of the hint in its parameter block; the change stands even if the
  // copy cannot be updated. A block that could not be read is not written back: it would put
  // zeros over the rest of the key's parameters.
  std::uint8_t block[payload::kParameterBlock] = {};
  if (ReadParameterBlock(block) != kResultSuccess) return kResultSuccess;
  const std::uint8_t clamped = change[payload::kChangeHintLength];
  block[payload::kParameterHintLength] = clamped;
  std::memcpy(block + payload::kParameterHint, change + payload::kChangeHint, clamped);
  WriteParameterBlock(block);
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::SendCommand97() {
  const ResultCode result = Send(BuildVendorCdb(subcode::kCommand97), kDataOut, nullptr, 0);
  if (result == kResultSuccess) Pause(pause_ms::kAfterCommand97);
  return result;
}

ResultCode ScsiFlashDevice::QueryState98() {
  int status = 0;
  const ResultCode result = Send(BuildVendorCdb(subcode::kQueryState98), kDataOut, nullptr, 0, &status);
  if (result != kResultSuccess) return result;
  return status != 0 ? kResultState98Bad : kResultState98Good;
}

ResultCode ScsiFlashDevice::RefreshMedium() {
  char root[4];
  KeyRootPath(*this, root);
  const std::uint8_t data[2] = {0xFF, 0xFF};
  const ResultCode result = SendOut(BuildVendorCdb(subcode::kRefreshMedium), data, sizeof data);
  if (result == kResultSuccess) SettleAfterMediumChange(root);
  return result;
}

ResultCode ScsiFlashDevice::ReadCapacityMb(int* megabytes) {
  std::uint8_t data[2] = {};
  const ResultCode result = Send(BuildVendorCdb(subcode::kReadCapacityMb), kDataIn, data, sizeof data);
  if (result == kResultSuccess) *megabytes = GetLittleEndian16(data);
  return result;
}

ResultCode ScsiFlashDevice::WriteInfoBlock(const std::uint8_t* block512) {
  return SendOut(BuildVendorCdb(subcode::kWriteInfoBlock), block512, payload::kBlock);
}

ResultCode ScsiFlashDevice::ReadInfoBlock(std::uint8_t* block512) {
  std::memset(block512, 0, payload::kBlock);
  return Send(BuildVendorCdb(subcode::kReadInfoBlock), kDataIn, block512, payload::kBlock);
}

ResultCode ScsiFlashDevice::SendCommand9E(int index) {
  return Send(VendorWithByte(subcode::kCommand9E, 5, index), kDataOut, nullptr, 0);
}

ResultCode ScsiFlashDevice::SendCommand9F() {
  const ResultCode result = Send(BuildVendorCdb(subcode::kCommand9F), kDataOut, nullptr, 0);
  Pause(pause_ms::kCommand9FStep, pause_ms::kCommand9FSteps);
  return result;
}

ResultCode ScsiFlashDevice::WritePage(const void* buffer64, int page) {
  VendorCdb cdb = BuildVendorCdb(subcode::kWritePage);
  PutBigEndian16(cdb, 8, static_cast<std::uint16_t>(page));
  return SendOut(cdb, buffer64, payload::kPage);
}

ResultCode ScsiFlashDevice::ReadPage(void* buffer64, int page) {
  std::memset(buffer64, 0, payload::kPage);
  VendorCdb cdb = BuildVendorCdb(subcode::kReadPage);
  PutBigEndian16(cdb, 8, static_cast<std::uint16_t>(page));
  return Send(cdb, kDataIn, buffer64, payload::kPage);
}

ResultCode ScsiFlashDevice::WriteBlockA3(const void* buffer512) {
  return SendOut(BuildVendorCdb(subcode::kWriteBlockA3), buffer512, payload::kBlock);
}

ResultCode ScsiFlashDevice::ReadBlockA4(void* buffer512) {
  std::memset(buffer512, 0, payload::kBlock);
  return Send(BuildVendorCdb(subcode::kReadBlockA4), kDataIn, buffer512, payload::kBlock);
}

ResultCode ScsiFlashDevice::ProbeArea(int area) {
  int status = 0;
  const ResultCode result = Send(VendorWithByte(subcode::kProbeArea, 5, area), kDataOut, nullptr, 0, &status);
  if (result != kResultSuccess) return result;
  if (status == 0) return kResultSuccess;
  return area == 0 ? kResultAreaZeroCheckFailed : kResultAreaCheckFailed;
}

ResultCode ScsiFlashDevice::ReadHint(char* text128, int area) {
  std::uint8_t work[512] = {};
  std::memset(text128, 0, payload::kHintText);
  const ResultCode probe = ProbeArea(area);
  if (probe != kResultSuccess) return probe;
  const ResultCode result = Send(VendorWithByte(subcode::kReadHint, 5, area), kDataIn, work, payload::kHintRecord);
  if (result != kResultSuccess) return result;
  if (work[0] == 0) return kResultHintEmpty;
  std::memcpy(text128, work, std::min<std::size_t>(work[payload::kHintText], payload::kHintText));
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::WriteHint(const char* text, std::uint32_t length, int area) {
  std::uint8_t record[payload::kHintRecord] = {};
  PutTextRecord(record, payload::kHintText, text, length);
  return SendOut(VendorWithByte(subcode::kWriteHint, 5, area), record, sizeof record);
}

ResultCode ScsiFlashDevice::SetPasswordAndHint(const char* password, std::uint32_t passwordLength,
                                               const char* hint, std::uint32_t hintLength, int area) {
  std::uint8_t data[payload::kPasswordAndHint] = {};
  PutTextRecord(data, payload::kPasswordText, password, passwordLength);
  PutTextRecord(data + payload::kPasswordAndHintHint, payload::kHintText, hint, hintLength);
  return SendOut(VendorWithByte(subcode::kSetPasswordAndHint, 5, area), data, sizeof data);
}

ResultCode ScsiFlashDevice::SwitchMedium(int flag) {
  const ResultCode result = Send(VendorWithByte(subcode::kSwitchMedium, 7, flag != 0 ? 1 : 0), kDataOut, nullptr, 0);
  if (result == kResultSuccess) {
    Pause(pause_ms::kAfterSwitchMedium);
    TestUnitReady();
  }
  return result;
}

ResultCode ScsiFlashDevice::ReadDataFF(int index, void* buffer, std::uint32_t length) {
  return Send(VendorWithByte(subcode::kReadDataFF, 4, index), kDataIn, buffer, length);
}

ResultCode ScsiFlashDevice::NoOperation(int) { return kResultSuccess; }
