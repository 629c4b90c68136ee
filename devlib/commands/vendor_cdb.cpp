#include "devlib/commands/vendor_cdb.h"

#include "host/byte_order.h"
#include "host/host.h"

namespace {

VendorCdb FilledCdb() {
  VendorCdb cdb;
  FillRandom(cdb.bytes.data(), cdb.bytes.size());
  return cdb;
}

}  // namespace

std::uint32_t FillerSeed() {
  char date[9] = {};
  host::Clock().LocalDateText(date);
  const std::uint32_t d0 = GetLittleEndian32(reinterpret_cast<const std::uint8_t*>(date));
  const std::uint32_t d1 = GetLittleEndian32(reinterpret_cast<const std::uint8_t*>(date + 4));
  const std::uint32_t t = host::Clock().SecondsSince1970();
  return t * d1 + d0;
}

void FillRandom(std::uint8_t* buffer, std::size_t count) {
  RuntimeRandom random(FillerSeed());
  for (std::size_t i = 0; i < count; ++i) {
    buffer[i] = static_cast<std::uint8_t>(random.Next());
  }
}

void PutBigEndian16(VendorCdb& cdb, std::size_t position, std::uint16_t value) {
  PutBigEndian16(&cdb[position], value);
}

void PutBigEndian32(VendorCdb& cdb, std::size_t position, std::uint32_t value) {
  PutBigEndian32(&cdb[position], value);
}

VendorCdb BuildVendorCdb(std::uint8_t subcode) {
  VendorCdb cdb = FilledCdb();
  cdb[0] = kVendorOpcode;
  cdb[1] = kVendorPrefix1;
  cdb[2] = kVendorPrefix2;
  cdb[3] = subcode;
  return cdb;
}

VendorCdb BuildInquiryCdb() {
  // INQUIRY draws its filler for a twelve-byte buffer and sends the first ten.
  std::uint8_t filler[12];
  FillRandom(filler, sizeof filler);
  VendorCdb cdb;
  for (std::size_t i = 0; i < VendorCdb::kSize; ++i) cdb[i] = filler[i];
  cdb[0] = 0x12;
  cdb[1] = 0x00;
  cdb[4] = 36;
  return cdb;
}

VendorCdb BuildModeSense10Cdb() {
  VendorCdb cdb = FilledCdb();
  cdb[0] = 0x5A;
  cdb[1] = 0x00;
  cdb[2] = 0x05;
  cdb[7] = 0x00;
  cdb[8] = 0x08;
  return cdb;
}

VendorCdb BuildRead10Cdb(std::uint32_t lba, std::uint16_t count) {
  VendorCdb cdb = FilledCdb();
  cdb[0] = 0x28;
  PutBigEndian32(cdb, 2, lba);
  PutBigEndian16(cdb, 7, count);
  return cdb;
}

VendorCdb BuildWrite10Cdb(std::uint32_t lba, std::uint16_t count) {
  VendorCdb cdb = FilledCdb();
  cdb[0] = 0x2A;
  PutBigEndian32(cdb, 2, lba);
  PutBigEndian16(cdb, 7, count);
  return cdb;
}

VendorCdb BuildDeviceResetCdb() {
  VendorCdb cdb = FilledCdb();
  cdb[0] = 0xFF;
  cdb[1] = 0x1D;
  return cdb;
}

VendorCdb BuildTestUnitReadyCdb() { return VendorCdb{}; }
