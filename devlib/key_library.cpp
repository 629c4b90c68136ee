#include "devlib/key_library.h"

#include <cstring>

#include "devlib/commands/device_info.h"
#include "devlib/commands/vendor_cdb.h"
#include "devlib/identity.h"
#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"

namespace {

ScsiFlashDevice& Device() { return *TheFlashDevice; }
FlashDevice& Slots() { return *TheFlashDevice; }

// "Index 0 or 1 only": any other value, compared unsigned, is refused.
bool IsAreaZeroOrOne(int index) { return static_cast<unsigned>(index) <= 1; }

}  // namespace

#define GUARD()                                                 \
  do {                                                          \
    if (!DeviceLibraryReady()) return kResultGeneralFailure;    \
  } while (false)

// ---- Discovery ---------------------------------------------------------------------------------

ResultCode FindKey(char* displayNameOut, int* keyCountOut) {
  GUARD();
  return Slots().IdentifyKey(IdentityTable, kIdentityRows, displayNameOut, keyCountOut);
}

ResultCode GetKeyDriveLetter(char* letterOut) {
  GUARD();
  return Slots().GetDriveLetter(letterOut);
}

ResultCode GetKnownKeyDriveLetter(char* letterOut) {
  GUARD();
  const std::string& letter = Device().m_strDriveLetter;
  if (letter.empty()) return kResultKeyNotFound;
  *letterOut = letter[0];
  return kResultSuccess;
}

ResultCode GetKeyInquiryStrings(char* vendorOut8, char* productOut16, char* revisionOut4) {
  GUARD();
  return Device().Inquiry(vendorOut8, productOut16, revisionOut4);
}

// ---- Medium and sectors ----------------------------------------------------------------------

ResultCode GetKeyCapacity(int* megabytesOut) {
  GUARD();
  return Device().ReadCapacityMb(megabytesOut);
}

ResultCode GetKeyFlashConfig(int* typeCodeOut, int* bankCountOut) {
  GUARD();
  return Device().ReadFlashConfig(typeCodeOut, bankCountOut);
}

ResultCode CheckKeyWriteProtect() {
  GUARD();
  return Device().CheckWriteProtect();
}

ResultCode KeyCommandB6(int flag) {
  GUARD();
  return Device().SwitchMedium(flag);
}

ResultCode KeyCommand97() {
  GUARD();
  return Device().SendCommand97();
}

ResultCode KeyCommand99() {
  GUARD();
  return Device().RefreshMedium();
}

ResultCode KeyCommandFF1D() {
  GUARD();
  return Device().ResetAndRefresh();
}

ResultCode KeyCommand9E(int index) {
  GUARD();
  if (!IsAreaZeroOrOne(index) && index != 5) return kResultGeneralFailure;
  return Device().SendCommand9E(index);
}

ResultCode KeyCommand9F() {
  GUARD();
  return Device().SendCommand9F();
}

ResultCode ResetKey() {
  GUARD();
  return Device().ResetDevice();
}

ResultCode WriteKeySectors(std::uint32_t firstSector, const void* buffer, std::uint32_t sectorCount) {
  GUARD();
  return Device().WriteBlocks(firstSector, buffer, sectorCount);
}

ResultCode ReadKeySectors(std::uint32_t firstSector, void* buffer, std::uint32_t sectorCount) {
  GUARD();
  return Device().ReadBlocks(firstSector, buffer, sectorCount);
}

ResultCode QueryKeyState98() {
  GUARD();
  return Device().QueryState98();
}

// ---- Areas, passwords and hints ----------------------------------------------------------------

ResultCode ProbeKeyArea(int area) {
  GUARD();
  if (!IsAreaZeroOrOne(area)) return kResultGeneralFailure;
  return Device().ProbeArea(area);
}

ResultCode SetKeyPasswordAndHint(const char* password, std::uint32_t passwordLength, const char* hint,
                                 std::uint32_t hintLength, int area) {
  GUARD();
  if (area != 0) return kResultGeneralFailure;
  // A first password is set only while area 0 answers the probe with its "no password" status.
  if (ProbeKeyArea(0) != kResultAreaZeroCheckFailed) return kResultGeneralFailure;
  return Device().SetPasswordAndHint(password, passwordLength, hint, hintLength, area);
}

ResultCode SubmitKeyPassword(const char* password, std::uint32_t length, int wait, int area) {
  GUARD();
  if (area >= 2 && area <= 4) area = 5;
  return Device().SubmitPassword(password, length, wait, area);
}

ResultCode ChangeKeyPassword(const char* current, std::uint32_t currentLength, const char* next,
                             std::uint32_t nextLength, const char* hint, std::uint32_t hintLength, int area) {
  GUARD();
  if (!IsAreaZeroOrOne(area)) return kResultGeneralFailure;
  return Device().ChangePassword(current, currentLength, next, nextLength, hint, hintLength, area);
}

ResultCode GetKeyHint(char* hintOut128, int area) {
  GUARD();
  if (!IsAreaZeroOrOne(area)) return kResultGeneralFailure;
  return Device().ReadHint(hintOut128, area);
}

ResultCode SetKeyHint(const char* hint, std::uint32_t length, int area) {
  GUARD();
  if (!IsAreaZeroOrOne(area)) return kResultGeneralFailure;
  return Device().WriteHint(hint, length, area);
}

// ---- Pages, blocks and diagnostic transfers ----------------------------------------------------

ResultCode WriteKeyPage(const void* buffer64, int page) {
  GUARD();
  return Device().WritePage(buffer64, page);
}

ResultCode ReadKeyPage(void* buffer64, int page) {
  GUARD();
  return Device().ReadPage(buffer64, page);
}

ResultCode ProbeKeyBlock(std::uint32_t address, int, int mode) {
  GUARD();
  return Device().ProbeBlock(address, mode);
}

ResultCode ScanKeyBlocks(std::uint32_t zone, int mode, std::uint32_t stride, std::uint32_t* list19) {
  GUARD();
  for (std::uint32_t i = 0; i < 1024; ++i) {
    const std::uint32_t address = (zone * 1024 + i) * stride;
    ResultCode result = Device().ProbeBlock(address, mode);
    if (result == kResultBlockFlagged) result = AppendBlockAddress(address, 0, list19);
    if (result != kResultSuccess) return result;
  }
  return kResultSuccess;
}

ResultCode ReadKeyDataFF(int index, void* buffer, std::uint32_t length) {
  GUARD();
  const ResultCode result = Device().ReadDataFF(index, buffer, length);
  SwapWordsBigEndian(buffer, length);
  return result;
}

ResultCode ReadKeyData8B(int index, void* buffer, std::uint32_t length) {
  GUARD();
  const ResultCode result = Device().ReadData8B(index, buffer, length);
  SwapWordsBigEndian(buffer, length);
  return result;
}

ResultCode ReadKeyData8C(int index, void* buffer, std::uint32_t length) {
  GUARD();
  const ResultCode selected = Device().NoOperation(index);
  if (selected != kResultSuccess) return selected;
  const ResultCode result = Device().ReadData8C(index, buffer, length);
  SwapWordsBigEndian(buffer, length);
  KeyCommand77Zero();
  return result;
}

ResultCode ReadKeyData78(int index, void* buffer, std::uint32_t length) {
  GUARD();
  const ResultCode result = Device().ReadData78(index, buffer, length);
  SwapWordsBigEndian(buffer, length);
  KeyCommand77Zero();
  return result;
}

ResultCode ReadKeyData79(int index, void* buffer, std::uint32_t length) {
  GUARD();
  const ResultCode selected = Device().SendCommand77(index);
  if (selected != kResultSuccess) return selected;
  const ResultCode result = Device().ReadData79(index, buffer, length);
  SwapWordsBigEndian(buffer, length);
  KeyCommand77Zero();
  return result;
}

ResultCode WriteKeyData72And73(void* first, std::uint32_t firstLength, void* second, std::uint32_t secondLength) {
  GUARD();
  ResultCode result = Device().WriteData72(first, firstLength);
  if (result != kResultSuccess) return result;
  result = Device().WriteData73(second, secondLength);
  if (result != kResultSuccess) return result;
  result = Device().SendCommand75();
  if (result != kResultSuccess) return result;
  result = Device().SendCommand74();
  KeyCommand77Zero();
  return result;
}

ResultCode WriteKeyData72(void* buffer, std::uint32_t length) {
  GUARD();
  return Device().WriteData72(buffer, length);
}

ResultCode KeyCommand7B(int kind) {
  GUARD();
  return Device().SendCommand7B(kind);
}

ResultCode KeyCommand74() {
  GUARD();
  return Device().SendCommand74();
}

ResultCode KeyCommand75() {
  GUARD();
  return Device().SendCommand75();
}

ResultCode KeyCommand77(int index) {
  GUARD();
  return Device().SendCommand77(index);
}

ResultCode KeyNoOperation(int value) {
  GUARD();
  return Device().NoOperation(value);
}

ResultCode ReadKeyData78First(void* buffer, std::uint32_t length) {
  GUARD();
  const ResultCode result = Device().ReadData78(0, buffer, length);
  if (result == kResultSuccess) SwapWordsBigEndian(buffer, length);
  return result;
}

ResultCode ReadKeyData79First(void* buffer, std::uint32_t length) {
  GUARD();
  return Device().ReadData79(0, buffer, length);
}

ResultCode WriteKeyData79(int, const void* buffer1024) {
  GUARD();
  return Device().WriteData79(buffer1024);
}

ResultCode ReadKeyBulkArea(void* buffer16384) {
  GUARD();
  return Device().ReadBulkArea(buffer16384);
}

ResultCode WriteKeyBulkArea(const void* buffer, std::uint32_t length) {
  GUARD();
  return Device().WriteBulkArea(buffer, length);
}

ResultCode ReadKeyBlockA4(void* buffer512) {
  GUARD();
  return Device().ReadBlockA4(buffer512);
}

ResultCode WriteKeyBlockA3(const void* buffer512) {
  GUARD();
  return Device().WriteBlockA3(buffer512);
}

// ---- The information block and serial numbers --------------------------------------------------

ResultCode GetKeyDeviceInfo(char* vendorIdText5, char* productIdText5, char* manufacturer, char* product,
                            char* serial, char* scsiVendor8, char* scsiProduct16, char* scsiRevision4,
                            char* configurationText3) {
  GUARD();
  return Device().GetDeviceInfo(vendorIdText5, productIdText5, manufacturer, product, serial, scsiVendor8,
                                scsiProduct16, scsiRevision4, configurationText3);
}

ResultCode SetKeyDeviceInfo(const char* vendorIdText, const char* productIdText, const char* manufacturer,
                            const char* product, char* serial, const char* scsiVendor, const char* scsiProduct,
                            const char* scsiRevision, const char* configurationText) {
  GUARD();
  return Device().SetDeviceInfo(vendorIdText, productIdText, manufacturer, product, serial, scsiVendor,
                                scsiProduct, scsiRevision, configurationText);
}

ResultCode SetKeySerialNumber(const char* digits, std::uint32_t length) {
  GUARD();
  char serial[info_block::kSerialNumberDigits];
  if (digits == nullptr || length == 0) {
    RuntimeRandom random(FillerSeed());
    for (char& c : serial) c = static_cast<char>('0' + random.Next() % 10);
    length = info_block::kSerialNumberDigits;
  } else {
    if (length > info_block::kSerialNumberDigits) length = info_block::kSerialNumberDigits;
    std::memcpy(serial, digits, length);
  }
  return Device().SetSerialNumber(serial, length);
}

ResultCode GetKeySerialNumber(char* serialOut14) {
  GUARD();
  return Device().GetSerialNumber(serialOut14);
}

ResultCode GetKeyUsbIdTexts(char* vendorIdOut4, char* productIdOut4) {
  GUARD();
  std::uint8_t block[info_block::kSize];
  const ResultCode result = Device().ReadInfoBlock(block);
  char text[5];
  FormatUsbIdText(block[info_block::kVendorId], block[info_block::kVendorId + 1], text);
  std::memcpy(vendorIdOut4, text, 4);
  FormatUsbIdText(block[info_block::kProductId], block[info_block::kProductId + 1], text);
  std::memcpy(productIdOut4, text, 4);
  return result;
}

ResultCode TestKeyInfoFlag() {
  GUARD();
  std::uint8_t block[info_block::kSize];
  const ResultCode result = Device().ReadInfoBlock(block);
  if (result != kResultSuccess) return result;
  return (block[info_block::kStatus] & 0x80) != 0 ? kResultInfoFlagSet : kResultInfoFlagClear;
}

ResultCode ReadKeyInfoBlock(void* buffer512) {
  GUARD();
  return Device().ReadInfoBlock(static_cast<std::uint8_t*>(buffer512));
}

// ---- Library-internal helpers ------------------------------------------------------------------

ResultCode KeyCommand77Zero() {
  GUARD();
  const ResultCode result = Device().SendCommand77(0);
  if (result != kResultSuccess) return result;
  return Device().NoOperation(0);
}

ResultCode SwapWordsBigEndian(void* buffer, std::uint32_t length) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (std::uint32_t i = 0; i + 4 <= length; i += 4) {
    std::swap(bytes[i], bytes[i + 3]);
    std::swap(bytes[i + 1], bytes[i + 2]);
  }
  return kResultSuccess;
}

ResultCode AppendBlockAddress(std::uint32_t address, int, std::uint32_t* list19) {
  if (list19[0] >= kBlockListCapacity) return kResultBlockListFull;
  list19[list19[0] + 1] = address;
  ++list19[0];
  return kResultSuccess;
}
