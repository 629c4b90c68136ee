// The emulated key driven directly with hand-made blocks, independent of the library's builders.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "key/emulated_key.h"

namespace {

using emulated::EmulatedKey;
using emulated::KeyConfig;
using Cdb = std::array<std::uint8_t, 10>;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheck = 0x02;

// Unassigned bytes carry this instead of zeros, so that a key reading filler shows.
constexpr std::uint8_t kFiller = 0xE7;

Cdb Vendor(std::uint8_t subcode, std::initializer_list<std::pair<int, std::uint8_t>> params = {}) {
  Cdb cdb;
  cdb.fill(kFiller);
  cdb[0] = 0xAD;
  cdb[1] = 0x0A;
  cdb[2] = 0x16;
  cdb[3] = subcode;
  for (const auto& [at, value] : params) cdb[static_cast<std::size_t>(at)] = value;
  return cdb;
}

Cdb ReadWrite(bool write, std::uint32_t lba, std::uint16_t count) {
  Cdb cdb;
  cdb.fill(kFiller);
  cdb[0] = write ? 0x2A : 0x28;
  for (int i = 0; i < 4; ++i) cdb[2 + i] = static_cast<std::uint8_t>(lba >> (24 - 8 * i));
  cdb[7] = static_cast<std::uint8_t>(count >> 8);
  cdb[8] = static_cast<std::uint8_t>(count);
  return cdb;
}

Cdb Reset() {
  Cdb cdb;
  cdb.fill(kFiller);
  cdb[0] = 0xFF;
  cdb[1] = 0x1D;
  return cdb;
}

// A text field of the given capacity followed by a length byte sent as is.
Bytes Field(const std::string& text, std::size_t capacity, int lengthByte) {
  Bytes field(capacity + 1, 0);
  std::memcpy(field.data(), text.data(), std::min(text.size(), capacity));
  field[capacity] = static_cast<std::uint8_t>(lengthByte);
  return field;
}
Bytes PasswordRecord(const std::string& text) { return Field(text, 15, static_cast<int>(text.size())); }

Bytes SetPayload(const std::string& password, const std::string& hint) {
  Bytes payload = PasswordRecord(password);
  const Bytes h = Field(hint, 128, static_cast<int>(hint.size()));
  payload.insert(payload.end(), h.begin(), h.end());
  return payload;  // 145 bytes
}

Bytes ChangePayload(const std::string& current, const std::string& fresh, const std::string& hint) {
  Bytes payload = PasswordRecord(current);
  const Bytes n = PasswordRecord(fresh);
  const Bytes h = Field(hint, 128, static_cast<int>(hint.size()));
  payload.insert(payload.end(), n.begin(), n.end());
  payload.insert(payload.end(), h.begin(), h.end());
  payload.resize(512, 0);
  return payload;
}

Bytes Sector(std::uint8_t mark) {
  Bytes s(512, mark);
  s[0] = 0x4D;
  return s;
}

class KeyTest : public ::testing::Test {
 protected:
  static KeyConfig SmallKey() {
    KeyConfig config;
    config.capacityMb = 64;  // 64 x 1972 sectors with revision 2.45 and flash type 2
    return config;
  }

  std::uint8_t Send(const Cdb& cdb, bool dataIn, Bytes& data) {
    emulated::ScsiCommand command{cdb.data(), cdb.size(), dataIn, data.data(),
                                  static_cast<std::uint32_t>(data.size())};
    return key->Execute(command);
  }
  std::uint8_t NoData(const Cdb& cdb) {
    Bytes none;
    return Send(cdb, false, none);
  }
  std::uint8_t Out(const Cdb& cdb, Bytes data) { return Send(cdb, false, data); }
  Bytes In(const Cdb& cdb, std::size_t length, std::uint8_t expectStatus = kGood) {
    Bytes data(length, 0xCC);
    EXPECT_EQ(Send(cdb, true, data), expectStatus) << key->Log().back().name;
    return data;
  }
  void ExpectSense(std::uint8_t senseKey, std::uint8_t asc, std::uint8_t ascq = 0) {
    EXPECT_EQ(key->LastSense().key, senseKey);
    EXPECT_EQ(key->LastSense().asc, asc);
    EXPECT_EQ(key->LastSense().ascq, ascq);
  }
  Bytes FlashSector(std::uint64_t lba) {
    Bytes s(512);
    EXPECT_TRUE(key->Flash().Read(lba, 1, s.data()));
    return s;
  }
  std::uint8_t SetAreaSize(std::uint32_t sectors) {
    Bytes payload(4);
    for (std::size_t i = 0; i < 4; ++i) payload[i] = static_cast<std::uint8_t>(sectors >> (24 - 8 * i));
    return Out(Vendor(0xB4), payload);
  }
  std::uint8_t Refresh() { return Out(Vendor(0x99), {0xFF, 0xFF}); }

  std::unique_ptr<EmulatedKey> key = std::make_unique<EmulatedKey>(SmallKey());
  const std::uint64_t total = 64ull * 1972;
};

// ---- Frames, directions and lengths --------------------------------------------------------

TEST_F(KeyTest, WrongDirectionOrLengthIsRefusedAndStillLogged) {
  struct Case {
    Cdb cdb;
    bool dataIn;
    std::size_t length;
    const char* name;
  };
  const Case cases[] = {
      {Vendor(0x9A), true, 3, "ReadCapacityMb"},        {Vendor(0x9A), false, 2, "ReadCapacityMb"},
      {Vendor(0x99), false, 3, "RefreshMedium"},        {Vendor(0x93), false, 15, "SubmitPassword"},
      {Vendor(0x97), false, 2, "SendCommand97"},        {Vendor(0x82), false, 16383, "WriteBulkArea"},
      {Vendor(0x79), false, 1023, "WriteData79"},       {Vendor(0x91), true, 512, "WriteParameterBlock"},
      {Vendor(0xB4), false, 8, "SetAreaSize"},          {Vendor(0x7A), true, 2, "ReadFlashConfig"},
      {ReadWrite(true, 0, 2), false, 512, "Write10"},   {ReadWrite(false, 0, 1), false, 512, "Read10"},
  };
  for (const Case& c : cases) {
    Bytes data(c.length, 0);
    EXPECT_EQ(Send(c.cdb, c.dataIn, data), kCheck) << c.name;
    ExpectSense(0x05, 0x24);
    ASSERT_FALSE(key->Log().empty());
    EXPECT_EQ(key->Log().back().name, c.name);
    EXPECT_EQ(key->Log().back().status, kCheck);
    EXPECT_EQ(key->Log().back().length, c.length);
  }
  // The refused area size left the register alone.
  EXPECT_EQ(key->Areas().Register(), total);
}

TEST_F(KeyTest, UnknownCommandsAreRefused) {
  EXPECT_EQ(NoData(Vendor(0x80)), kCheck);
  ExpectSense(0x05, 0x20);
  EXPECT_EQ(key->Log().back().subcode, 0x80);
  EXPECT_EQ(key->Log().back().name, "Unknown");

  Cdb badPrefix = Vendor(0x9A);
  badPrefix[2] = 0x17;
  EXPECT_EQ(In(badPrefix, 2, kCheck), Bytes(2, 0xCC));

  Cdb notReset = Reset();
  notReset[1] = 0x1C;
  EXPECT_EQ(NoData(notReset), kCheck);
  EXPECT_EQ(NoData(Reset()), kGood);
  EXPECT_EQ(key->Log().back().name, "DeviceReset");
}

TEST_F(KeyTest, LogDecodesParametersFromTheirPositions) {
  EXPECT_EQ(NoData(Vendor(0x71, {{5, 0x02}, {6, 0x01}, {7, 0x02}, {8, 0x03}, {9, 0x04}})), kGood);
  EXPECT_EQ(key->Log().back().fields.at("mode"), 2u);
  EXPECT_EQ(key->Log().back().fields.at("address"), 0x01020304u);

  Out(Vendor(0x93, {{5, 1}, {6, 0x88}}), PasswordRecord("x"));
  EXPECT_EQ(key->Log().back().fields.at("wait"), 0u);
  EXPECT_EQ(key->Log().back().fields.at("area"), 1u);
  EXPECT_EQ(key->Log().back().dataOut, PasswordRecord("x"));
  Out(Vendor(0x93, {{5, 0}, {6, 0x00}}), PasswordRecord("x"));
  EXPECT_EQ(key->Log().back().fields.at("wait"), 1u);

  In(ReadWrite(false, 0x00012345, 2), 1024);
  EXPECT_EQ(key->Log().back().fields.at("lba"), 0x12345u);
  EXPECT_EQ(key->Log().back().fields.at("count"), 2u);
  // The index of 0x9E is in byte 5, not 4.
  NoData(Vendor(0x9E, {{4, 9}, {5, 1}}));
  EXPECT_EQ(key->Log().back().fields.at("index"), 1u);
  NoData(Vendor(0x77, {{4, 6}, {5, 1}}));
  EXPECT_EQ(key->Log().back().fields.at("index"), 6u);
  NoData(Vendor(0x7B, {{5, 0xE1}}));
  EXPECT_EQ(key->Log().back().fields.at("kind"), 0xE1u);
  NoData(Vendor(0xB6, {{7, 1}}));
  EXPECT_EQ(key->Log().back().fields.at("flag"), 1u);
  In(Vendor(0xA2, {{8, 0x01}, {9, 0x02}}), 64);
  EXPECT_EQ(key->Log().back().fields.at("page"), 0x0102u);
  In(Vendor(0xFF, {{4, 3}}), 8);
  EXPECT_EQ(key->Log().back().name, "ReadDataFF");
  EXPECT_EQ(key->Log().back().fields.at("index"), 3u);


  const Cdb modeSense = {0x5A, 0x00, 0x05, kFiller, kFiller, kFiller, kFiller, 0x00, 0x08, kFiller};
  In(modeSense, 8);
  EXPECT_EQ(key->Log().back().fields.at("allocation"), 8u);
  EXPECT_EQ(key->Log().back().fields.at("pageCode"), 5u);
}

TEST_F(KeyTest, SectorDataIsLoggedOnlyOnRequestAndTransfersTouchOnlyTheirSectors) {
  // A flash that counts what it is asked for: a 32-block write must not walk the image.
  struct CountingFlash : emulated::MemoryFlashImage {
    using MemoryFlashImage::MemoryFlashImage;
    bool Read(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override {
      touched += count;
      return MemoryFlashImage::Read(lba, count, out);
    }
    bool Write(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override {
      touched += count;
      return MemoryFlashImage::Write(lba, count, in);
    }
    std::uint64_t touched = 0;
  };
  auto flash = std::make_unique<CountingFlash>(total);
  CountingFlash* counter = flash.get();
  key = std::make_unique<EmulatedKey>(SmallKey(), std::move(flash));

  EXPECT_EQ(Out(ReadWrite(true, 100, 32), Bytes(16384, 0x11)), kGood);
  EXPECT_EQ(counter->touched, 32u);
  EXPECT_TRUE(key->Log().back().dataOut.empty());
  key->SetLogPayloads(true);
  EXPECT_EQ(Out(ReadWrite(true, 132, 1), Bytes(512, 0x22)), kGood);
  EXPECT_EQ(key->Log().back().dataOut, Bytes(512, 0x22));
  EXPECT_EQ(In(ReadWrite(false, 131, 2), 1024), [] {
    Bytes b(512, 0x11);
    b.resize(1024, 0x22);
    return b;
  }());
  EXPECT_EQ(counter->touched, 35u);
}

TEST(KeyCommandLogTest, DropsTheOldestHalfWhenFull) {
  emulated::KeyCommandLog log(4);
  for (int i = 0; i < 5; ++i) {
    emulated::KeyCommandRecord record;
    record.opcode = static_cast<std::uint8_t>(i);
    log.Add(record);
  }
  ASSERT_EQ(log.Records().size(), 3u);
  EXPECT_EQ(log.Records().front().opcode, 2);
  EXPECT_EQ(log.Records().back().opcode, 4);
  EXPECT_EQ(log.Dropped(), 2u);
}

// ---- Passwords and hints -------------------------------------------------------------------

TEST_F(KeyTest, FirstPasswordProbeHintAndSubmission) {
  EXPECT_EQ(NoData(Vendor(0xB0, {{5, 0}})), kCheck);  // no password yet: may be set
  EXPECT_EQ(NoData(Vendor(0xB0, {{5, 2}})), kCheck);
  ExpectSense(0x05, 0x24);
  EXPECT_EQ(In(Vendor(0xB1, {{5, 0}}), 129, kCheck), Bytes(129, 0xCC));

  ASSERT_EQ(Out(Vendor(0xB3, {{5, 0}}), SetPayload("secret", "my cat")), kGood);
  EXPECT_EQ(key->Log().back().fields.at("passwordLength"), 6u);
  EXPECT_EQ(key->Log().back().fields.at("hintLength"), 6u);
  EXPECT_EQ(NoData(Vendor(0xB0, {{5, 0}})), kGood);
  EXPECT_EQ(NoData(Vendor(0xB0, {{5, 1}})), kCheck);  // areas are separate
  EXPECT_EQ(In(Vendor(0xB1, {{5, 0}}), 129), Field("my cat", 128, 6));
  // A second first password is refused.
  EXPECT_EQ(Out(Vendor(0xB3, {{5, 0}}), SetPayload("other", "")), kCheck);
  ExpectSense(0x05, 0x2C);

  EXPECT_EQ(Out(Vendor(0x93, {{5, 0}, {6, 0}}), PasswordRecord("secreT")), kCheck);
  ExpectSense(0x07, 0x74, 0x71);
  EXPECT_EQ(Out(Vendor(0x93, {{5, 0}, {6, 0}}), PasswordRecord("secret")), kGood);
  EXPECT_EQ(Out(Vendor(0x93, {{5, 1}, {6, 0}}), PasswordRecord("secret")), kCheck);
  // Byte 6 is either "wait" or "do not wait".
  EXPECT_EQ(Out(Vendor(0x93, {{5, 0}, {6, 0x44}}), PasswordRecord("secret")), kCheck);
  EXPECT_EQ(key->Log().back().fields.at("option"), 0x44u);
  EXPECT_FALSE(key->Log().back().Has("wait"));
  EXPECT_EQ(Out(Vendor(0xB3, {{5, 1}}), SetPayload("", "empty")), kCheck);
  ExpectSense(0x05, 0x26);
}

TEST_F(KeyTest, TextLengthsAreClampedToTheirFields) {
  Bytes payload = Field("ABCDEFGHIJKLMNOP", 15, 20);
  const Bytes hint = Field(std::string(128, 'h'), 128, 200);
  payload.insert(payload.end(), hint.begin(), hint.end());
  ASSERT_EQ(Out(Vendor(0xB3, {{5, 0}}), payload), kGood);
  EXPECT_EQ(key->Log().back().fields.at("passwordLength"), 20u);
  EXPECT_EQ(key->Areas().Password(0), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(key->Areas().Hint(0), std::string(128, 'h'));
  EXPECT_EQ(Out(Vendor(0x93, {{5, 0}, {6, 0x88}}), Field("ABCDEFGHIJKLMNO", 15, 255)), kGood);
}

TEST_F(KeyTest, ChangePasswordNeedsTheCurrentOne) {
  // An area without a password takes its first one with an empty current password.
  ASSERT_EQ(Out(Vendor(0x96, {{5, 1}}), ChangePayload("", "first", "hint one")), kGood);
  EXPECT_EQ(key->Log().back().fields.at("newPasswordLength"), 5u);
  EXPECT_EQ(key->Log().back().fields.at("hintLength"), 8u);
  EXPECT_EQ(NoData(Vendor(0xB0, {{5, 1}})), kGood);

  EXPECT_EQ(Out(Vendor(0x96, {{5, 1}}), ChangePayload("wrong", "second", "h")), kCheck);
  ExpectSense(0x07, 0x74, 0x71);
  EXPECT_EQ(key->Areas().Password(1), "first");

  EXPECT_EQ(Out(Vendor(0x96, {{5, 1}}), ChangePayload("first", "second", "hint two")), kGood);
  EXPECT_EQ(Out(Vendor(0x93, {{5, 1}, {6, 0}}), PasswordRecord("first")), kCheck);
  EXPECT_EQ(Out(Vendor(0x93, {{5, 1}, {6, 0}}), PasswordRecord("second")), kGood);
  EXPECT_EQ(In(Vendor(0xB1, {{5, 1}}), 129), Field("hint two", 128, 8));
  // The hint copy in the parameter block is the host's to write, not the key's.
  EXPECT_EQ(key->ParameterBlock(), emulated::key_record::FactoryParameterBlock());

  // An empty new password removes password and hint.
  EXPECT_EQ(Out(Vendor(0x96, {{5, 1}}), ChangePayload("second", "", "ignored")), kGood);
  EXPECT_EQ(NoData(Vendor(0xB0, {{5, 1}})), kCheck);
  EXPECT_EQ(key->Areas().Hint(1), "");
}

TEST_F(KeyTest, ResetLocksProtectedAreasUntilThePasswordIsGiven) {
  ASSERT_EQ(Out(Vendor(0xB3, {{5, 0}}), SetPayload("pw", "")), kGood);
  EXPECT_EQ(Out(ReadWrite(true, 5, 1), Sector(1)), kGood);  // the setter is not locked out
  ASSERT_EQ(NoData(Reset()), kGood);

  In(ReadWrite(false, 5, 1), 512, kCheck);
  ExpectSense(0x07, 0x74, 0x71);
  EXPECT_EQ(Out(Vendor(0xB2, {{5, 0}}), Field("new hint", 128, 8)), kCheck);
  EXPECT_EQ(In(Vendor(0xB1, {{5, 0}}), 129), Field("", 128, 0));  // the hint helps a locked-out user

  ASSERT_EQ(Out(Vendor(0x93, {{5, 0}, {6, 0}}), PasswordRecord("pw")), kGood);
  EXPECT_EQ(In(ReadWrite(false, 5, 1), 512), Sector(1));
  EXPECT_EQ(Out(Vendor(0xB2, {{5, 0}}), Field("new hint", 128, 8)), kGood);
  EXPECT_EQ(key->Areas().Hint(0), "new hint");
}

// ---- Blocks, pages and diagnostics ---------------------------------------------------------

TEST_F(KeyTest, ParameterBlockKeepsWhatTheHostWritesBack) {
  Bytes block = In(Vendor(0x92), 512);
  EXPECT_NE(block[0], 0);
  EXPECT_NE(block[511], 0);
  EXPECT_EQ(Bytes(block.begin() + 21, block.begin() + 150), Bytes(129, 0));
  std::memcpy(block.data() + 21, "a hint", 6);
  block[149] = 6;
  ASSERT_EQ(Out(Vendor(0x91), block), kGood);
  EXPECT_EQ(key->Log().back().fields.at("hintLength"), 6u);
  EXPECT_EQ(In(Vendor(0x92), 512), block);
}

TEST_F(KeyTest, InformationBlockDescribesTheKeyAndRoundTrips) {
  const Bytes info = In(Vendor(0x9C), 512);
  EXPECT_EQ(info[110], 0x55);
  EXPECT_EQ(info[111], 0xAA);
  EXPECT_EQ(info[0] | info[1] << 8, 0x1B0A);
  EXPECT_EQ(info[48], 14);  // serial-number length
  EXPECT_EQ(info[74], 0x80);
  // The SCSI texts it carries are the ones INQUIRY answers with.
  const Cdb inquiry = {0x12, 0x00, kFiller, kFiller, 0x24, kFiller, kFiller, kFiller, kFiller, kFiller};
  const Bytes answer = In(inquiry, 36);
  EXPECT_EQ(Bytes(info.begin() + 80, info.begin() + 108), Bytes(answer.begin() + 8, answer.end()));
  EXPECT_EQ(std::string(answer.begin() + 32, answer.end()), "2.45");

  KeyConfig p3 = SmallKey();
  p3.model = "KV 2 Zarno P3";
  EmulatedKey other(p3);
  EXPECT_NE(other.InfoBlock()[2] | other.InfoBlock()[3] << 8, info[2] | info[3] << 8);

  Bytes mine(512);
  for (std::size_t i = 0; i < mine.size(); ++i) mine[i] = static_cast<std::uint8_t>(i * 3);
  ASSERT_EQ(Out(Vendor(0x9B), mine), kGood);
  EXPECT_EQ(In(Vendor(0x9C), 512), mine);
}

TEST_F(KeyTest, PagesBulkAreaAndA3BlockKeepTheirData) {
  EXPECT_EQ(In(Vendor(0xA2, {{8, 0x01}, {9, 0x02}}), 64), Bytes(64, 0xFF));  // erased
  Bytes page(64);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i + 1);
  ASSERT_EQ(Out(Vendor(0xA1, {{8, 0x01}, {9, 0x02}}), page), kGood);
  EXPECT_EQ(In(Vendor(0xA2, {{8, 0x01}, {9, 0x02}}), 64), page);
  EXPECT_EQ(In(Vendor(0xA2, {{8, 0x02}, {9, 0x01}}), 64), Bytes(64, 0xFF));  // page 0x0201 untouched

  Bytes bulk(16384);
  for (std::size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<std::uint8_t>(i / 64);
  ASSERT_EQ(Out(Vendor(0x82), bulk), kGood);
  EXPECT_EQ(In(Vendor(0x81), 16384), bulk);

  ASSERT_EQ(Out(Vendor(0xA3), Bytes(512, 0x3A)), kGood);
  EXPECT_EQ(In(Vendor(0xA4), 512), Bytes(512, 0x3A));
}

TEST_F(KeyTest, FlaggedBlocksFailTheirProbeInAnyMode) {
  key->FlaggedBlocks() = {0x00000400u, 0x01020304u};
  EXPECT_EQ(NoData(Vendor(0x71, {{5, 0}, {6, 0}, {7, 0}, {8, 4}, {9, 0}})), kCheck);
  ExpectSense(0x03, 0x11);
  EXPECT_EQ(NoData(Vendor(0x71, {{5, 7}, {6, 1}, {7, 2}, {8, 3}, {9, 4}})), kCheck);
  EXPECT_EQ(NoData(Vendor(0x71, {{5, 0}, {6, 4}, {7, 3}, {8, 2}, {9, 1}})), kGood);
  EXPECT_EQ(NoData(Vendor(0x71, {{5, 0}, {6, 0}, {7, 0}, {8, 0}, {9, 4}})), kGood);
}

TEST_F(KeyTest, DiagnosticTransfersKeepAndAnswerData) {
  Bytes ram(1024);
  for (std::size_t i = 0; i < ram.size(); ++i) ram[i] = static_cast<std::uint8_t>(i ^ 0x5C);
  EXPECT_EQ(Out(Vendor(0x79, {{5, 0x00}}), ram), kCheck);  // the write form carries 0x01 in byte 5
  ASSERT_EQ(Out(Vendor(0x79, {{5, 0x01}}), ram), kGood);
  EXPECT_EQ(key->Log().back().name, "WriteData79");
  EXPECT_EQ(In(Vendor(0x79, {{4, 0}}), 1024), ram);
  EXPECT_EQ(key->Log().back().name, "ReadData79");
  EXPECT_NE(In(Vendor(0x79, {{4, 1}}), 1024), ram);

  key->SetDiagnosticData(0x8B, 2, {1, 2, 3, 4});
  EXPECT_EQ(In(Vendor(0x8B, {{4, 2}}), 6), (Bytes{1, 2, 3, 4, 0, 0}));
  EXPECT_NE(In(Vendor(0x8C, {{4, 2}}), 6), In(Vendor(0x78, {{4, 2}}), 6));

  // The two staged writes keep what each was sent.
  ASSERT_EQ(Out(Vendor(0x72), {9, 8, 7}), kGood);
  ASSERT_EQ(Out(Vendor(0x73), {6}), kGood);
  EXPECT_EQ(key->StagedData(0x72), (Bytes{9, 8, 7}));
  EXPECT_EQ(key->StagedData(0x73), (Bytes{6}));
}

TEST_F(KeyTest, ConfigurationAnswersAreLittleEndianAndPerModel) {
  KeyConfig config = SmallKey();
  config.capacityMb = 1024;
  config.flashType = 0x0102;
  config.bankCount = 2;
  config.model = "Varnok Key";
  key = std::make_unique<EmulatedKey>(config);
  EXPECT_EQ(In(Vendor(0x7A), 4), (Bytes{0x02, 0x01, 0x02, 0x00}));
  EXPECT_EQ(In(Vendor(0x9A), 2), (Bytes{0x00, 0x04}));
  const Bytes identity = In(Vendor(0x95), 14);
  EXPECT_EQ(std::string(identity.begin(), identity.end()), std::string("VARNOKSTELVA\0\0", 14));

  EXPECT_EQ(NoData(Vendor(0x98)), kGood);
  key->SetState98Good(false);
  EXPECT_EQ(NoData(Vendor(0x98)), kCheck);
  EXPECT_EQ(NoData(Vendor(0x97)), kGood);
}

// ---- Areas and what the host sees ----------------------------------------------------------

TEST_F(KeyTest, AreaSizeRoundTripsBigEndian) {
  EXPECT_EQ(In(Vendor(0xB5), 4), (Bytes{0x00, 0x01, 0xED, 0x00}));  // 126208: one area at first
  ASSERT_EQ(SetAreaSize(0x0000F6A0), kGood);
  EXPECT_EQ(key->Log().back().fields.at("sectors"), 0xF6A0u);
  EXPECT_EQ(In(Vendor(0xB5), 4), (Bytes{0x00, 0x00, 0xF6, 0xA0}));
  EXPECT_EQ(SetAreaSize(0), kCheck);
  ExpectSense(0x05, 0x26);
  EXPECT_EQ(In(Vendor(0x9A), 2), (Bytes{64, 0}));  // capacity is the whole key whatever the split
}

TEST_F(KeyTest, LayoutAtFlatAddressesReachesTheSecondAreaUntilRefresh) {
  // The flat sequence: size, second area at its flat address, refresh, first area at 0.
  const std::uint32_t first = 40 * 1972;
  ASSERT_EQ(SetAreaSize(first), kGood);
  ASSERT_EQ(Out(ReadWrite(true, first, 1), Sector(2)), kGood);
  ASSERT_EQ(Refresh(), kGood);
  ASSERT_EQ(Out(ReadWrite(true, 0, 1), Sector(1)), kGood);
  EXPECT_EQ(FlashSector(first), Sector(2));
  EXPECT_EQ(FlashSector(0), Sector(1));
  // After the refresh the host sees the first area only.
  EXPECT_EQ(Out(ReadWrite(true, first, 1), Sector(3)), kCheck);
  ExpectSense(0x05, 0x21);
  EXPECT_EQ(Out(ReadWrite(true, first - 1, 1), Sector(3)), kGood);
  EXPECT_EQ(Out(Vendor(0x99), {0xFF, 0x00}), kCheck);
  ExpectSense(0x05, 0x26);
}

TEST_F(KeyTest, SwitchingShowsTheSecondAreaAtLbaZero) {
  const std::uint32_t first = 40 * 1972;
  ASSERT_EQ(SetAreaSize(first), kGood);
  ASSERT_EQ(NoData(Reset()), kGood);
  ASSERT_EQ(Out(ReadWrite(true, 0, 1), Sector(1)), kGood);
  ASSERT_EQ(NoData(Vendor(0x9F)), kGood);
  ASSERT_EQ(Out(ReadWrite(true, 0, 1), Sector(2)), kGood);
  EXPECT_EQ(FlashSector(0), Sector(1));
  EXPECT_EQ(FlashSector(first), Sector(2));
  EXPECT_EQ(Out(ReadWrite(true, total - first, 1), Sector(3)), kCheck);  // past the second area
  ASSERT_EQ(Refresh(), kGood);  // a refresh keeps an area view
  EXPECT_EQ(In(ReadWrite(false, 0, 1), 512), Sector(2));

  ASSERT_EQ(NoData(Vendor(0x9F)), kGood);  // and back
  EXPECT_EQ(In(ReadWrite(false, 0, 1), 512), Sector(1));
  ASSERT_EQ(NoData(Vendor(0xB6, {{7, 1}})), kGood);
  EXPECT_EQ(In(ReadWrite(false, 0, 1), 512), Sector(2));
  ASSERT_EQ(NoData(Vendor(0xB6, {{7, 0}})), kGood);
  EXPECT_EQ(In(ReadWrite(false, 0, 1), 512), Sector(1));
  EXPECT_EQ(NoData(Vendor(0xB6, {{7, 5}})), kCheck);
  ASSERT_EQ(NoData(Vendor(0x9E, {{5, 1}})), kGood);
  EXPECT_EQ(In(ReadWrite(false, 0, 1), 512), Sector(2));
  ASSERT_EQ(NoData(Vendor(0x9E, {{5, 5}})), kGood);
  EXPECT_EQ(In(ReadWrite(false, first, 1), 512), Sector(2));
  EXPECT_EQ(NoData(Vendor(0x9E, {{5, 2}})), kCheck);
  ASSERT_EQ(NoData(Reset()), kGood);
  EXPECT_EQ(In(ReadWrite(false, 0, 1), 512), Sector(1));
}

TEST_F(KeyTest, RegisterBeyondTheFlashLeavesNoSecondArea) {
  // Sizes rounded up by one sector must still be accepted and read back as sent.
  ASSERT_EQ(SetAreaSize(static_cast<std::uint32_t>(total + 1)), kGood);
  EXPECT_EQ(key->Areas().Register(), total + 1);
  ASSERT_EQ(NoData(Reset()), kGood);
  EXPECT_EQ(Out(ReadWrite(true, total - 1, 1), Sector(4)), kGood);
  ASSERT_EQ(NoData(Vendor(0x9F)), kGood);
  EXPECT_EQ(NoData(Cdb{}), kCheck);  // TEST UNIT READY: nothing to show
  ExpectSense(0x02, 0x3A);
  In(ReadWrite(false, 0, 1), 512, kCheck);
}

TEST_F(KeyTest, WriteProtectionShowsInModeSenseAndStopsMediumWrites) {
  const Cdb modeSense = {0x5A, 0x00, 0x05, kFiller, kFiller, kFiller, kFiller, 0x00, 0x08, kFiller};
  EXPECT_EQ(In(modeSense, 8)[3], 0x00);
  ASSERT_EQ(Out(ReadWrite(true, 7, 1), Sector(1)), kGood);
  key->SetWriteProtected(true);
  EXPECT_EQ(In(modeSense, 8)[3], 0x80);

  EXPECT_EQ(Out(ReadWrite(true, 7, 1), Sector(2)), kCheck);
  ExpectSense(0x07, 0x27);
  EXPECT_EQ(FlashSector(7), Sector(1));
  EXPECT_EQ(In(ReadWrite(false, 7, 1), 512), Sector(1));
  EXPECT_EQ(SetAreaSize(1972), kCheck);
  EXPECT_EQ(key->Areas().Register(), total);
  EXPECT_EQ(Out(Vendor(0xA3), Bytes(512, 1)), kGood);  // controller state stays writable
}

}  // namespace
