// Sectors per megabyte by firmware revision and flash configuration, the
// device object's conversion and area-size commands, and the entry functions over them.
#include "devlib/capacity.h"

#include <cstring>
#include <initializer_list>

#include "devlib/commands/command_catalogue.h"
#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "host/byte_order.h"

namespace {

bool IsOneOf(const char* revision, std::initializer_list<const char*> list) {
  for (const char* candidate : list) {
    if (std::strcmp(revision, candidate) == 0) return true;
  }
  return false;
}

constexpr std::uint32_t kFirmwareNative = 2048;
constexpr std::uint32_t kFirmwareStandard = 1972;
constexpr std::uint32_t kFirmwareLargeFlash = 1936;
constexpr std::uint32_t kFirmwareOddBanks = 1988;
constexpr std::uint32_t kFirmwareSmallBanks = 1896;

// The one model whose firmware 2.00 reports one sector short at bank-sized boundaries.
constexpr std::int32_t kModelKindP3 = 3;

}  // namespace

std::uint32_t SectorsPerMegabyteFor(const char* revision4, int t, int bankCount, std::uint32_t capacityPerBankMb) {
  if (bankCount == 0) return 0;
  if (IsOneOf(revision4, {"W2.1", "1.00", "1.10"})) return kFirmwareNative;
  if (IsOneOf(revision4, {"1.15", "1.20", "1.21"})) return t == 2 ? kFirmwareStandard : 0;
  if (IsOneOf(revision4, {"3.12", "2.42", "2.43", "2.44", "2.45", "2.46", "2.47", "2.48", "2.49", "2.50"})) {
    if (t >= 0 && t <= 2) return kFirmwareStandard;
    return t == 3 ? kFirmwareLargeFlash : 0;
  }
  if (IsOneOf(revision4, {"2.60", "2.61"})) return kFirmwareNative;
  if (capacityPerBankMb == 64 && t == 2) return kFirmwareSmallBanks;
  if (t == 0 || t == 2) return kFirmwareStandard;
  if (t == 1 || t == 3) return kFirmwareOddBanks;
  return 0;
}

bool GetsSpareSector(std::int32_t modelKind, const char* revision4, int bankCount, std::uint32_t sectors) {
  return modelKind == kModelKindP3 && std::strcmp(revision4, "2.00") == 0 &&
         ((bankCount == 2 && sectors % 512 == 0) || (bankCount == 1 && sectors % 256 == 0));
}

bool TypeFigureFor(int t, int* figure) {
  switch (t) {
    case 0: *figure = 128; return true;
    case 1: *figure = 64; return true;
    case 2: *figure = 256; return true;
    case 3: *figure = 128; return true;
    default: return false;
  }
}

int CapacityFigureFor(int c, int t, int b) {
  switch (c) {
    case 2048: return 4;
    case 1024: return t == 3 && b == 2 ? 2 : 4;
    case 512: return b == 2 || t == 3 ? 2 : 4;
    case 256: return (t == 3 && b == 1) || b == 2 ? 1 : 2;
    default: return 1;
  }
}

ResultCode QueryFlashGeometry(int* capacityPerBank, int* flashTypeCode, int* bankCount, int* typeFigure,
                              int* capacityFigure) {
  int capacity = 0;
  ResultCode result = GetKeyCapacity(&capacity);
  if (result != kResultSuccess) return result;
  int t = 0;
  int b = 0;
  result = GetKeyFlashConfig(&t, &b);
  if (result != kResultSuccess) return result;
  // A key that reports no banks has no capacity per bank; nothing is guessed.
  if (b == 0) return kResultGeneralFailure;
  *capacityPerBank = capacity / b;
  *flashTypeCode = t;
  *bankCount = b;
  TypeFigureFor(t, typeFigure);
  *capacityFigure = CapacityFigureFor(capacity, t, b);
  return kResultSuccess;
}

ResultCode QueryFirmwareRevision(char* revision4) {
  char vendor[8], product[16], revision[4];
  const ResultCode result = GetKeyInquiryStrings(vendor, product, revision);
  if (result != kResultSuccess) return result;
  std::memcpy(revision4, revision, 4);
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::ConvertCapacity(std::uint32_t* megabytes, std::uint32_t* sectors, int toMegabytes) {
  int perBank = 0, t = 0, b = 0, typeFigure = 0, capacityFigure = 0;
  ResultCode result = QueryFlashGeometry(&perBank, &t, &b, &typeFigure, &capacityFigure);
  if (result != kResultSuccess) return result;
  char revision[5] = {};
  result = QueryFirmwareRevision(revision);
  if (result != kResultSuccess) return result;

  const std::uint32_t factor = SectorsPerMegabyteFor(revision, t, b, static_cast<std::uint32_t>(perBank));
  if (factor == 0) return kResultGeneralFailure;
  if (toMegabytes != 0) {
    *megabytes = *sectors / factor;
  } else {
    *sectors = *megabytes * factor;
  }
  if (GetsSpareSector(ModelKind, revision, b, *sectors)) ++*sectors;
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::SetAreaSizeMb(std::uint32_t megabytes) {
  std::uint32_t sectors = 0;
  const ResultCode result = ConvertCapacity(&megabytes, &sectors, 0);
  if (result != kResultSuccess) return result;
  std::uint8_t data[4] = {};
  PutBigEndian32(data, sectors);
  // A size the key refused must not pass for one it took: the layout written next depends on it.
  int status = 0;
  const ResultCode sent = Send(BuildVendorCdb(subcode::kSetAreaSize), 0, data, sizeof data, &status);
  if (sent != kResultSuccess) return sent;
  return status == 0 ? kResultSuccess : kResultGeneralFailure;
}

ResultCode ScsiFlashDevice::GetAreaSizeMb(std::uint32_t* megabytes) {
  std::uint8_t data[4] = {};
  const ResultCode result = Send(BuildVendorCdb(subcode::kGetAreaSize), 1, data, sizeof data);
  if (result != kResultSuccess) return result;
  std::uint32_t sectors = GetBigEndian32(data);
  return ConvertCapacity(megabytes, &sectors, 1);
}

ResultCode ConvertKeyCapacity(std::uint32_t* megabytes, std::uint32_t* sectors, int toMegabytes) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  return TheFlashDevice->ConvertCapacity(megabytes, sectors, toMegabytes);
}

ResultCode SetKeyAreaSize(std::uint32_t megabytes) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  if (megabytes == 0) return kResultGeneralFailure;
  int capacity = 0;
  const ResultCode result = GetKeyCapacity(&capacity);
  if (result != kResultSuccess) return result;
  if (megabytes > static_cast<std::uint32_t>(capacity)) return kResultGeneralFailure;
  return TheFlashDevice->SetAreaSizeMb(megabytes);
}

ResultCode GetKeyAreaSize(std::uint32_t* megabytes) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  return TheFlashDevice->GetAreaSizeMb(megabytes);
}

ResultCode KeyCommandB4(std::uint32_t megabytes) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  return TheFlashDevice->SetAreaSizeMb(megabytes);
}
