// The key on a usbredir bus, driven from the other end of the connection as qemu drives it:
// enumeration, the Bulk-Only Transport's phases and recovery, and the SCSI answers a BIOS and a
// kernel rely on, all judged on the bytes that cross the connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "key/emulated_key.h"
#include "tests/usb/usbredir_peer.h"
#include "usb/usb_key_device.h"
#include "host/byte_order.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using usb_test::Answer;
using usb_test::Status;

constexpr std::uint8_t kIn = 0x80;

struct Csw {
  std::uint32_t signature = 0;
  std::uint32_t tag = 0;
  std::uint32_t residue = 0;
  int status = -1;
};

struct Outcome {
  Bytes data;
  bool dataStalled = false;
  Csw csw;
};

std::uint32_t Le32(const Bytes& b, std::size_t at) { return GetLittleEndian32(b.data() + at); }

Bytes Cbw(std::uint32_t tag, std::uint32_t length, bool in, const Bytes& cdb, std::uint8_t lun = 0) {
  Bytes cbw(31, 0);
  const std::uint32_t fields[3] = {0x43425355, tag, length};
  for (int f = 0; f < 3; ++f) {
    for (int i = 0; i < 4; ++i) cbw[4 * f + i] = static_cast<std::uint8_t>(fields[f] >> (8 * i));
  }
  cbw[12] = in ? 0x80 : 0x00;
  cbw[13] = lun;
  cbw[14] = static_cast<std::uint8_t>(cdb.size());
  std::copy(cdb.begin(), cdb.end(), cbw.begin() + 15);
  return cbw;
}

Bytes Read10(std::uint32_t lba, std::uint16_t count, std::uint8_t opcode = 0x28) {
  Bytes cdb = {opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  PutBigEndian32(cdb.data() + 2, lba);
  PutBigEndian16(cdb.data() + 7, count);
  return cdb;
}
Bytes Write10(std::uint32_t lba, std::uint16_t count) { return Read10(lba, count, 0x2A); }
Bytes Vendor(std::uint8_t subcode) { return {0xAD, 0x0A, 0x16, subcode, 0, 0, 0, 0, 0, 0}; }
std::string Text(const Bytes& b, std::size_t at, std::size_t n) { return std::string(b.begin() + at, b.begin() + at + n); }

class UsbBusTest : public testing::Test {
 protected:
  void Attach(emulated::KeyConfig config = {}) {
    m_key = std::make_unique<emulated::EmulatedKey>(config);
    m_device = std::make_unique<usb::UsbKeyDevice>(*m_key);
    m_peer = std::make_unique<usb_test::UsbredirPeer>(*m_device);
    ASSERT_TRUE(m_peer->Connected());
    ASSERT_EQ(m_peer->SetConfiguration(1).status, Status::kSuccess);
  }
  void TearDown() override {
    m_peer.reset();
    m_device.reset();
  }

  Answer ClearHalt(std::uint8_t endpoint) { return m_peer->Control(0x02, 0x01, 0, endpoint, 0); }
  Answer MassStorageReset() { return m_peer->Control(0x21, 0xFF, 0, 0, 0); }

  // One command as a host runs it: CBW, data, CSW, clearing a stalled bulk-in as a host does.
  Outcome Command(const Bytes& cdb, bool in, std::uint32_t hostLength, const Bytes& out = {}, std::uint8_t lun = 0) {
    Outcome outcome;
    const std::uint32_t tag = ++m_tag;
    EXPECT_EQ(m_peer->BulkOut(Cbw(tag, hostLength, in, cdb, lun)).status, Status::kSuccess);
    if (hostLength > 0 && !in) {
      EXPECT_EQ(m_peer->BulkOut(out).status, Status::kSuccess);
    }
    if (hostLength > 0 && in) {
      Answer data = m_peer->BulkIn(hostLength);
      outcome.dataStalled = data.status == Status::kStall;
      if (outcome.dataStalled) {
        EXPECT_EQ(ClearHalt(usb::kBulkInEndpoint).status, Status::kSuccess);
      }
      outcome.data = data.data;
    }
    Answer status = m_peer->BulkIn(13);
    if (status.status == Status::kStall) {
      EXPECT_EQ(ClearHalt(usb::kBulkInEndpoint).status, Status::kSuccess);
      status = m_peer->BulkIn(13);
    }
    EXPECT_EQ(status.status, Status::kSuccess);
    if (status.data.size() == 13) {
      outcome.csw = Csw{Le32(status.data, 0), Le32(status.data, 4), Le32(status.data, 8), status.data[12]};
      EXPECT_EQ(outcome.csw.signature, 0x53425355u);
      EXPECT_EQ(outcome.csw.tag, tag);
    }
    return outcome;
  }

  Bytes Sense() {
    const Outcome sense = Command({0x03, 0, 0, 0, 18, 0}, true, 18);
    EXPECT_EQ(sense.csw.status, 0);
    return sense.data;
  }
  void ExpectSense(std::uint8_t key, std::uint8_t asc) {
    const Bytes sense = Sense();
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], key);
    EXPECT_EQ(sense[12], asc);
  }
  void ExpectReady() {
    const Outcome ready = Command({0x00, 0, 0, 0, 0, 0}, false, 0);
    EXPECT_EQ(ready.csw.status, 0);
    EXPECT_EQ(ready.csw.residue, 0u);
  }

  std::unique_ptr<emulated::EmulatedKey> m_key;
  std::unique_ptr<usb::UsbKeyDevice> m_device;
  std::unique_ptr<usb_test::UsbredirPeer> m_peer;
  std::uint32_t m_tag = 0x1000;
};

// The identifiers and texts come from the key's information block, as the firmware shows it.
TEST_F(UsbBusTest, EnumeratesWithTheInformationBlocksIdentity) {
  Attach();
  EXPECT_EQ(m_peer->VendorId(), 0x1B0A);
  EXPECT_EQ(m_peer->ProductId(), 0x0C09);
  EXPECT_EQ(m_peer->InterfaceClass(0), 0x08);
  EXPECT_EQ(m_peer->InterfaceSubclass(0), 0x06);
  EXPECT_EQ(m_peer->InterfaceProtocol(0), 0x50);
  const Answer device = m_peer->Control(kIn, 0x06, 0x0100, 0, 18);
  ASSERT_EQ(device.data.size(), 18u);
  EXPECT_EQ(device.data[2] | device.data[3] << 8, 0x0200);
  EXPECT_EQ(device.data[8] | device.data[9] << 8, 0x1B0A);
  EXPECT_EQ(device.data[12] | device.data[13] << 8, 0x0245);  // firmware 2.45
  // A short read of the configuration gives its total length first, as hosts ask it.
  const Answer head = m_peer->Control(kIn, 0x06, 0x0200, 0, 9);
  ASSERT_EQ(head.data.size(), 9u);
  const Answer configuration = m_peer->Control(kIn, 0x06, 0x0200, 0, head.data[2]);
  ASSERT_EQ(configuration.data.size(), 32u);
  EXPECT_EQ(configuration.data[18 + 2], 0x81);
  EXPECT_EQ(configuration.data[25 + 2], 0x02);

  auto text = [&](std::uint8_t index) {
    const Answer s = m_peer->Control(kIn, 0x06, static_cast<std::uint16_t>(0x0300 | index), 0x0409, 255);
    std::string t;
    for (std::size_t i = 2; i + 1 < s.data.size(); i += 2) t += static_cast<char>(s.data[i]);
    return t;
  };
  EXPECT_EQ(text(device.data[14]), "Varnok");
  EXPECT_EQ(text(device.data[15]), "KV 2 Zarno P9");
  const auto& block = m_key->InfoBlock();
  EXPECT_EQ(text(device.data[16]), std::string(block.begin() + 50, block.begin() + 50 + block[48]));
  EXPECT_EQ(m_peer->Control(kIn, 0x06, 0x0307, 0x0409, 255).status, Status::kStall);
  const Answer maxLun = m_peer->Control(0xA1, 0xFE, 0, 0, 1);
  EXPECT_EQ(maxLun.data, Bytes{0});
}

TEST_F(UsbBusTest, ANewInformationBlockShowsOnTheNextConnection) {
  Attach();
  auto block = m_key->InfoBlock();
  block[0] = 0x34;
  block[1] = 0x12;
  block[26] = 5;
  std::copy_n("Other", 5, block.begin() + 28);
  m_key->SetInfoBlock(block);
  m_peer.reset();
  m_device = std::make_unique<usb::UsbKeyDevice>(*m_key);
  m_peer = std::make_unique<usb_test::UsbredirPeer>(*m_device);
  EXPECT_EQ(m_peer->VendorId(), 0x1234);
  const Answer product = m_peer->Control(kIn, 0x06, 0x0302, 0x0409, 255);
  EXPECT_EQ(product.data, (Bytes{12, 3, 'O', 0, 't', 0, 'h', 0, 'e', 0, 'r', 0}));
}

TEST_F(UsbBusTest, InquiryCarriesTheKeysTextsWithTheResidueOfALongerRequest) {
  emulated::KeyConfig config;
  config.model = "Varnok Key";
  config.revision = "2.47";
  Attach(config);
  const Outcome exact = Command({0x12, 0, 0, 0, 36, 0}, true, 36);
  ASSERT_EQ(exact.data.size(), 36u);
  EXPECT_EQ(exact.data[1], 0x80);  // removable
  EXPECT_EQ(Text(exact.data, 8, 8), "Varnok  ");
  EXPECT_EQ(Text(exact.data, 16, 16), "Varnok Key      ");
  EXPECT_EQ(Text(exact.data, 32, 4), "2.47");
  EXPECT_EQ(exact.csw.status, 0);
  EXPECT_EQ(exact.csw.residue, 0u);
  // The host asks for 96 bytes, the device has 36: a short transfer and the residue.
  const Outcome longer = Command({0x12, 0, 0, 0, 96, 0}, true, 96);
  EXPECT_FALSE(longer.dataStalled);
  EXPECT_EQ(longer.data, exact.data);
  EXPECT_EQ(longer.csw.status, 0);
  EXPECT_EQ(longer.csw.residue, 60u);

  // Vital product data: the page list and the serial number, as sg_inq -p asks for them (an
  // allocation of 252); any other page is an invalid field.
  const Outcome pages = Command({0x12, 0x01, 0x00, 0, 252, 0}, true, 252);
  EXPECT_EQ(pages.data, (Bytes{0x00, 0x00, 0x00, 2, 0x00, 0x80}));
  EXPECT_EQ(pages.csw.residue, 246u);
  const Outcome serial = Command({0x12, 0x01, 0x80, 0, 252, 0}, true, 252);
  ASSERT_GE(serial.data.size(), 4u);
  EXPECT_EQ(Bytes(serial.data.begin(), serial.data.begin() + 4), (Bytes{0x00, 0x80, 0x00, 14}));
  EXPECT_EQ(Text(serial.data, 4, serial.data.size() - 4), "01012530881024");
  EXPECT_EQ(Text(serial.data, 4, serial.data.size() - 4), m_device->Identity().serial);
  EXPECT_EQ(Command({0x12, 0x01, 0x83, 0, 252, 0}, true, 252).csw.status, 1);
  ExpectSense(0x05, 0x24);
}

TEST_F(UsbBusTest, CheckConditionLeavesItsSenseForRequestSense) {
  Attach();
  const std::uint32_t sectors = static_cast<std::uint32_t>(m_key->Areas().Visible().sectors);
  const Outcome beyond = Command(Read10(sectors, 1), true, 512);
  EXPECT_EQ(beyond.csw.status, 1);
  EXPECT_EQ(beyond.csw.residue, 512u);
  EXPECT_TRUE(beyond.dataStalled);
  ExpectSense(0x05, 0x21);  // LBA out of range
  ExpectSense(0x00, 0x00);  // handed over once
  const Outcome unknown = Command({0xC7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0);
  EXPECT_EQ(unknown.csw.status, 1);
  ExpectSense(0x05, 0x20);  // invalid operation code
  // A vendor command goes to the key and is judged by it: a wrong length is refused there.
  const Outcome identity = Command(Vendor(0x95), true, 14);
  EXPECT_EQ(identity.csw.status, 0);
  EXPECT_EQ(Text(identity.data, 0, 14), "QUILKV2ZARNOP9");
  const Outcome wrongLength = Command(Vendor(0x95), true, 16);
  EXPECT_EQ(wrongLength.csw.status, 1);
  ExpectSense(0x05, 0x24);
}

TEST_F(UsbBusTest, DataPhasesThatDisagreeGetPhaseErrorsOrResidues) {
  Attach();
  // The device has two sectors, the host takes one: phase error, nothing sent.
  const Outcome tooShort = Command(Read10(0, 2), true, 512);
  EXPECT_EQ(tooShort.csw.status, 2);
  EXPECT_TRUE(tooShort.data.empty());
  // The host expects no data where the device would take a sector: phase error, nothing written.
  Bytes sector(512, 0xA5);
  const Outcome noData = Command(Write10(5, 1), false, 0);
  EXPECT_EQ(noData.csw.status, 2);
  Bytes flash(512);
  ASSERT_TRUE(m_key->Flash().Read(5, 1, flash.data()));
  EXPECT_EQ(flash, Bytes(512, 0));
  // The host sends where the device would send: phase error.
  EXPECT_EQ(Command(Read10(0, 1), false, 512, sector).csw.status, 2);
  // The host sends two sectors for a one-sector write: the first is written, the residue is the other.
  Bytes two(1024, 0x5A);
  std::fill(two.begin(), two.begin() + 512, 0xA5);
  const Outcome longer = Command(Write10(5, 1), false, 1024, two);
  EXPECT_EQ(longer.csw.status, 0);
  EXPECT_EQ(longer.csw.residue, 512u);
  ASSERT_TRUE(m_key->Flash().Read(5, 1, flash.data()));
  EXPECT_EQ(flash, sector);
  ASSERT_TRUE(m_key->Flash().Read(6, 1, flash.data()));
  EXPECT_EQ(flash, Bytes(512, 0));
  // A command without data while the host offers some to read: a stall ends the data phase.
  const Outcome ready = Command({0x00, 0, 0, 0, 0, 0}, true, 64);
  EXPECT_TRUE(ready.dataStalled);
  EXPECT_EQ(ready.csw.status, 0);
  EXPECT_EQ(ready.csw.residue, 64u);
  // The sector read back over the bus is what was written.
  const Outcome back = Command(Read10(5, 1), true, 512);
  EXPECT_EQ(back.data, sector);
  EXPECT_EQ(back.csw.residue, 0u);
}

TEST_F(UsbBusTest, ABadCbwStallsBothPipesUntilResetRecovery) {
  Attach();
  for (const bool shortCbw : {true, false}) {
    SCOPED_TRACE(shortCbw ? "30 bytes" : "wrong signature");
    Bytes bad = Cbw(7, 0, false, {0x00, 0, 0, 0, 0, 0});
    if (shortCbw) {
      bad.pop_back();
    } else {
      bad[3] = 0x44;
    }
    EXPECT_EQ(m_peer->BulkOut(bad).status, Status::kStall);
    EXPECT_EQ(m_peer->BulkIn(13).status, Status::kStall);
    // Clearing the halts alone does not end it: the device waits for the class reset.
    EXPECT_EQ(ClearHalt(usb::kBulkInEndpoint).status, Status::kSuccess);
    EXPECT_EQ(ClearHalt(usb::kBulkOutEndpoint).status, Status::kSuccess);
    EXPECT_EQ(m_peer->BulkIn(13).status, Status::kStall);
    const Answer halted = m_peer->Control(0x82, 0x00, 0, usb::kBulkInEndpoint, 2);
    EXPECT_EQ(halted.data, (Bytes{1, 0}));
    // Reset recovery: Bulk-Only Mass Storage Reset, then both halts cleared.
    EXPECT_EQ(MassStorageReset().status, Status::kSuccess);
    EXPECT_EQ(m_peer->BulkIn(13).status, Status::kStall);  // the halt outlives the reset
    EXPECT_EQ(ClearHalt(usb::kBulkInEndpoint).status, Status::kSuccess);
    EXPECT_EQ(ClearHalt(usb::kBulkOutEndpoint).status, Status::kSuccess);
    ExpectReady();
  }
}

TEST_F(UsbBusTest, ALogicalUnitOtherThanZeroIsRefused) {
  Attach();
  const Outcome other = Command({0x12, 0, 0, 0, 36, 0}, true, 36, {}, 1);
  EXPECT_EQ(other.csw.status, 1);
  EXPECT_TRUE(other.data.empty());
  ExpectSense(0x05, 0x25);  // logical unit not supported
  ExpectReady();
}

TEST_F(UsbBusTest, TheWriteProtectSwitchShowsInModeSenseAndRefusesWrite10) {
  for (const bool protectedKey : {false, true}) {
    SCOPED_TRACE(protectedKey ? "protected" : "writable");
    emulated::KeyConfig config;
    config.writeProtected = protectedKey;
    Attach(config);
    const Outcome mode = Command({0x1A, 0, 0x3F, 0, 192, 0}, true, 192);
    ASSERT_EQ(mode.data.size(), 4u);
    EXPECT_EQ(mode.data[0], 3);
    EXPECT_EQ(mode.data[2] & 0x80, protectedKey ? 0x80 : 0x00);
    EXPECT_EQ(mode.csw.residue, 188u);
    const Outcome write = Command(Write10(9, 1), false, 512, Bytes(512, 0x77));
    EXPECT_EQ(write.csw.status, protectedKey ? 1 : 0);
    Bytes flash(512);
    ASSERT_TRUE(m_key->Flash().Read(9, 1, flash.data()));
    EXPECT_EQ(flash, Bytes(512, protectedKey ? 0x00 : 0x77));
    if (protectedKey) ExpectSense(0x07, 0x27);
    m_peer.reset();
  }
}

// After the resize commands, sent over the bus like any vendor command, the capacity and the
// sectors are those of the area the key shows.
TEST_F(UsbBusTest, ReadCapacityFollowsTheVisibleArea) {
  Attach();
  auto capacity = [&] {
    const Outcome c = Command({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8);
    EXPECT_EQ(c.csw.status, 0);
    EXPECT_EQ(c.data.size(), 8u);
    return std::pair<std::uint32_t, std::uint32_t>{
        GetBigEndian32(c.data.data()), GetBigEndian32(c.data.data() + 4)};
  };
  const std::uint64_t flash = m_key->Flash().SectorCount();
  EXPECT_EQ(capacity(), (std::pair<std::uint32_t, std::uint32_t>{static_cast<std::uint32_t>(flash - 1), 512}));
  EXPECT_EQ(Command(Vendor(0xB4), false, 4, {0x00, 0x00, 0x40, 0x00}).csw.status, 0);  // 16384 sectors
  EXPECT_EQ(Command(Vendor(0x99), false, 2, {0xFF, 0xFF}).csw.status, 0);              // show the first area
  EXPECT_EQ(capacity().first, 16383u);
  EXPECT_EQ(Command(Read10(16383, 1), true, 512).csw.status, 0);
  EXPECT_EQ(Command(Read10(16384, 1), true, 512).csw.status, 1);
  Bytes second = Vendor(0xB6);
  second[7] = 1;  // SwitchMedium to the second area
  EXPECT_EQ(Command(second, false, 0).csw.status, 0);
  EXPECT_EQ(capacity().first, flash - 16384 - 1);
}

// With medium changes reported, a refresh or a reset the key carried out leaves one UNIT
// ATTENTION (28/00) for the next command but INQUIRY; REQUEST SENSE takes it over. A refused
// refresh changes nothing and leaves none; without the report the key never raises one.
TEST_F(UsbBusTest, MediumChangesRaiseOneUnitAttentionWhenReported) {
  Attach();
  EXPECT_EQ(Command(Vendor(0x99), false, 2, {0xFF, 0xFF}).csw.status, 0);
  ExpectReady();
  m_device->Unit().ReportMediumChanges(true);
  EXPECT_EQ(Command(Vendor(0x99), false, 2, {0xFF, 0xFF}).csw.status, 0);
  EXPECT_EQ(Command({0x12, 0, 0, 0, 36, 0}, true, 36).csw.status, 0);
  EXPECT_EQ(Command({0x00, 0, 0, 0, 0, 0}, false, 0).csw.status, 1);
  ExpectSense(0x06, 0x28);
  ExpectReady();
  EXPECT_EQ(Command({0xFF, 0x1D, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0).csw.status, 0);
  ExpectSense(0x06, 0x28);
  ExpectReady();
  EXPECT_EQ(Command(Vendor(0x99), false, 3, {0xFF, 0xFF, 0}).csw.status, 1);  // wrong length: refused
  ExpectSense(0x05, 0x24);
  ExpectReady();
}

}  // namespace
