#include "devlib/commands/device_info.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "devlib/commands/vendor_cdb.h"
#include "devlib/scsi_flash_device.h"
#include "host/byte_order.h"
#include "host/host.h"

namespace ib = info_block;

void FormatUsbIdText(std::uint8_t low, std::uint8_t high, char* out5) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x%02x", high, low);
  std::memcpy(out5, text, 5);
}

void GenerateSerialNumber(char* out14) {
  char date[9] = {};
  host::Clock().LocalDateText(date);
  RuntimeRandom random(FillerSeed());
  const char dayMonthYear[6] = {date[3], date[4], date[0], date[1], date[6], date[7]};
  std::memcpy(out14, dayMonthYear, sizeof dayMonthYear);
  for (int i = 6; i < 14; ++i) out14[i] = static_cast<char>('0' + random.Next() % 10);
}

namespace {

// "%x" as the key's tools read it: leading blanks, an optional sign and 0x; false when no digit
// follows. An overlong text keeps its low 32 bits, whatever the C library's strtoul would clamp to.
bool ParseHex(const char* text, unsigned long* value) {
  if (text == nullptr) return false;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    const char after = p[2];
    if (std::isxdigit(static_cast<unsigned char>(after))) p += 2;
  }
  std::uint32_t result = 0;
  bool digits = false;
  for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
    const char c = *p;
    const std::uint32_t digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    result = result << 4 | digit;
    digits = true;
  }
  if (!digits) return false;
  *value = negative ? 0u - result : result;
  return true;
}

// A USB string: its length byte, the descriptor type, then the text cut to the field.
void PutUsbText(std::uint8_t* block, std::size_t lengthAt, std::size_t at, std::size_t capacity,
                const char* text) {
  const std::size_t n = std::min(std::strlen(text), capacity);
  block[lengthAt] = static_cast<std::uint8_t>(n);
  block[lengthAt + 1] = ib::kStringDescriptorType;
  std::memcpy(block + at, text, n);
}

void PutSpacePadded(std::uint8_t* block, std::size_t at, std::size_t width, const char* text) {
  std::memset(block + at, ' ', width);
  if (text != nullptr) std::memcpy(block + at, text, std::min(std::strlen(text), width));
}

// Copies a USB text out, its length byte clamped to the field so nothing reads past it.
void CopyUsbText(const std::uint8_t* block, std::size_t lengthAt, std::size_t at, std::size_t capacity,
                 char* out) {
  std::memcpy(out, block + at, std::min<std::size_t>(block[lengthAt], capacity));
}

}  // namespace

ResultCode ScsiFlashDevice::GetDeviceInfo(char* vendorIdText5, char* productIdText5, char* manufacturer,
                                          char* product, char* serial, char* scsiVendor8,
                                          char* scsiProduct16, char* scsiRevision4,
                                          char* configurationText3) {
  std::uint8_t block[ib::kSize];
  const ResultCode result = ReadInfoBlock(block);
  if (result != kResultSuccess) return result;
  if (block[ib::kSignature] != 0x55 || block[ib::kSignature + 1] != 0xAA) return kResultGeneralFailure;
  FormatUsbIdText(block[ib::kVendorId], block[ib::kVendorId + 1], vendorIdText5);
  FormatUsbIdText(block[ib::kProductId], block[ib::kProductId + 1], productIdText5);
  CopyUsbText(block, ib::kManufacturerLength, ib::kManufacturer, ib::kManufacturerCapacity, manufacturer);
  CopyUsbText(block, ib::kProductLength, ib::kProduct, ib::kProductCapacity, product);
  CopyUsbText(block, ib::kSerialLength, ib::kSerial, ib::kSerialCapacity, serial);
  char configuration[8];
  std::snprintf(configuration, sizeof configuration, "%.2x", block[ib::kConfiguration]);
  std::memcpy(configurationText3, configuration, 3);
  std::memcpy(scsiVendor8, block + ib::kScsiVendor, ib::kScsiVendorWidth);
  std::memcpy(scsiProduct16, block + ib::kScsiProduct, ib::kScsiProductWidth);
  std::memcpy(scsiRevision4, block + ib::kScsiRevision, ib::kScsiRevisionWidth);
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::SetDeviceInfo(const char* vendorIdText, const char* productIdText,
                                          const char* manufacturer, const char* product, char* serial,
                                          const char* scsiVendor, const char* scsiProduct,
                                          const char* scsiRevision, const char* configurationText) {
  std::uint8_t block[ib::kSize] = {};
  if (vendorIdText != nullptr && productIdText != nullptr) {
    // The block decides how the key presents itself everywhere: a text that is no number is
    // refused rather than written as zero.
    unsigned long vendorId = 0;
    unsigned long productId = 0;
    unsigned long configuration = ib::kDefaultConfiguration;
    const bool haveConfiguration = configurationText != nullptr && configurationText[0] != '\0';
    if (!ParseHex(vendorIdText, &vendorId) || !ParseHex(productIdText, &productId) ||
        (haveConfiguration && !ParseHex(configurationText, &configuration))) {
      return kResultGeneralFailure;
    }
    PutLittleEndian16(block + ib::kVendorId, static_cast<std::uint16_t>(vendorId));
    PutLittleEndian16(block + ib::kProductId, static_cast<std::uint16_t>(productId));
    PutUsbText(block, ib::kManufacturerLength, ib::kManufacturer, ib::kManufacturerCapacity,
               manufacturer != nullptr ? manufacturer : "");
    PutUsbText(block, ib::kProductLength, ib::kProduct, ib::kProductCapacity, product != nullptr ? product : "");
    if (serial != nullptr && serial[0] != '\0') {
      PutUsbText(block, ib::kSerialLength, ib::kSerial, ib::kSerialCapacity, serial);
    } else {
      char generated[ib::kSerialNumberDigits + 1] = {};
      GenerateSerialNumber(generated);
      if (serial != nullptr) std::memcpy(serial, generated, sizeof generated);
      PutUsbText(block, ib::kSerialLength, ib::kSerial, ib::kSerialCapacity, generated);
    }
    block[ib::kConfiguration] = static_cast<std::uint8_t>(configuration);
    PutSpacePadded(block, ib::kScsiVendor, ib::kScsiVendorWidth, scsiVendor);
    PutSpacePadded(block, ib::kScsiProduct, ib::kScsiProductWidth, scsiProduct);
    PutSpacePadded(block, ib::kScsiRevision, ib::kScsiRevisionWidth, scsiRevision);
    block[ib::kSignature] = 0x55;
    block[ib::kSignature + 1] = 0xAA;
  }
  return WriteInfoBlock(block);
}

ResultCode ScsiFlashDevice::GetSerialNumber(char* serial14) {
  std::memset(serial14, 0, ib::kSerialNumberDigits);
  std::uint8_t block[ib::kSize];
  const ResultCode result = ReadInfoBlock(block);
  std::memcpy(serial14, block + ib::kSerial,
              std::min<std::size_t>(block[ib::kSerialLength], ib::kSerialNumberDigits));
  return result;
}

ResultCode ScsiFlashDevice::SetSerialNumber(const char* text, std::uint32_t length) {
  std::uint8_t block[ib::kSize];
  const ResultCode result = ReadInfoBlock(block);
  if (result != kResultSuccess) return result;
  const std::size_t n = std::min<std::size_t>(length, ib::kSerialNumberDigits);
  std::memset(block + ib::kSerial, 0, ib::kSerialNumberDigits);
  block[ib::kSerialLength] = static_cast<std::uint8_t>(n);
  std::memcpy(block + ib::kSerial, text, n);
  return WriteInfoBlock(block);
}
