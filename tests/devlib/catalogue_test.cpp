// Device commands: chunking, decoding, result mapping and the pauses that follow them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include "devlib/key_library.h"
#include "tests/support/library_fixture.h"

namespace {

using emulated::TraceKind;

// The events after the last one of the given length, as "pause 500 ms" / "cmd XX" lines.
std::vector<std::string> Story(const emulated::Trace& trace, std::size_t from) {
  std::vector<std::string> lines;
  const auto& events = trace.Events();
  for (std::size_t i = from; i < events.size(); ++i) {
    const auto& e = events[i];
    char line[64];
    if (e.kind == TraceKind::kPause) {
      std::snprintf(line, sizeof line, "pause %u", e.milliseconds);
    } else if (e.kind == TraceKind::kPassThrough) {
      std::snprintf(line, sizeof line, "cmd %02X %02X", e.cdb[0], e.cdb[0] == 0xAD ? e.cdb[3] : e.cdb[1]);
    } else if (e.kind == TraceKind::kFreeSpace) {
      std::snprintf(line, sizeof line, "free %s", e.text.c_str());
    } else {
      continue;
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

class CatalogueTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    key = &host.AttachKey('E', emulated::KeyConfig{});
    int megabytes = 0;
    ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);  // settles the library on E:
    mark = host.trace.Events().size();
  }
  std::vector<std::string> StorySinceMark() const { return Story(host.trace, mark); }
  std::vector<emulated::TraceEvent> CommandsSinceMark() const {
    std::vector<emulated::TraceEvent> out;
    const auto& events = host.trace.Events();
    for (std::size_t i = mark; i < events.size(); ++i) {
      if (events[i].kind == TraceKind::kPassThrough) out.push_back(events[i]);
    }
    return out;
  }
  // Makes the next command (or the one after it) answer this SCSI status without reaching the key.
  void ForceStatus(std::uint8_t status, std::uint64_t ahead = 0) {
    host.faults.forcedStatus[host.CommandCount() + ahead] = status;
  }
  emulated::EmulatedKey* key = nullptr;
  std::size_t mark = 0;
};

TEST_F(CatalogueTest, WritesAreSplitIntoChunksOf32Blocks) {
  std::vector<std::uint8_t> data(70 * 512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i / 512 + i);
  ASSERT_EQ(WriteKeySectors(1000, data.data(), 70), kResultSuccess);
  const auto commands = CommandsSinceMark();
  ASSERT_EQ(commands.size(), 3u);
  const std::uint32_t lbas[] = {1000, 1032, 1064};
  const std::uint32_t counts[] = {32, 32, 6};
  for (int i = 0; i < 3; ++i) {
    const auto& c = commands[static_cast<std::size_t>(i)];
    EXPECT_EQ(c.cdb[0], 0x2A);
    EXPECT_EQ(std::uint32_t{c.cdb[2]} << 24 | c.cdb[3] << 16 | c.cdb[4] << 8 | c.cdb[5], lbas[i]);
    EXPECT_EQ(std::uint32_t(c.cdb[7] << 8 | c.cdb[8]), counts[i]);
    EXPECT_FALSE(c.dataIn);
    const auto from = data.begin() + std::ptrdiff_t(i) * 16384;
    EXPECT_EQ(c.dataOut, std::vector<std::uint8_t>(from, from + std::ptrdiff_t(counts[i]) * 512));
  }
  std::vector<std::uint8_t> back(70 * 512);
  ASSERT_EQ(ReadKeySectors(1000, back.data(), 70), kResultSuccess);
  EXPECT_EQ(back, data);

  mark = host.trace.Events().size();
  ASSERT_EQ(WriteKeySectors(5, data.data(), 32), kResultSuccess);
  ASSERT_EQ(CommandsSinceMark().size(), 1u);
  EXPECT_EQ(CommandsSinceMark()[0].cdb[7], 0x00);
  EXPECT_EQ(CommandsSinceMark()[0].cdb[8], 0x20);
  mark = host.trace.Events().size();
  EXPECT_EQ(WriteKeySectors(5, data.data(), 0), kResultSuccess);
  EXPECT_TRUE(CommandsSinceMark().empty());
}

TEST_F(CatalogueTest, RefusedTransfersAreFailuresNotData) {
  std::array<std::uint8_t, 512> sector;
  sector.fill(0x11);
  key->SetWriteProtected(true);
  EXPECT_EQ(WriteKeySectors(0, sector.data(), 1), kResultGeneralFailure);
  key->SetWriteProtected(false);

  // A failing chunk stops the write; the chunks before it stay written.
  std::vector<std::uint8_t> data(40 * 512, 0x22);
  ForceStatus(2, 1);
  EXPECT_EQ(WriteKeySectors(100, data.data(), 40), kResultGeneralFailure);
  EXPECT_EQ(CommandsSinceMark().size(), 3u);  // the write before, and the two chunks
  std::array<std::uint8_t, 512> stored{};
  ASSERT_TRUE(key->Flash().Read(131, 1, stored.data()));
  EXPECT_EQ(stored[0], 0x22);
  ASSERT_TRUE(key->Flash().Read(132, 1, stored.data()));
  EXPECT_EQ(stored[0], 0x00);

  ForceStatus(2);
  sector.fill(0x33);
  EXPECT_EQ(ReadKeySectors(0, sector.data(), 1), kResultGeneralFailure);
  EXPECT_EQ(sector[0], 0);  // cleared before sending
}

// A device may answer fewer bytes than were asked for; what it leaves unwritten must read as
// zeros, not as whatever the caller's buffer held, so every read clears its buffer first.
TEST_F(CatalogueTest, ShortAnswersLeaveZerosNotStaleBytes) {
  constexpr std::uint32_t kAnswered = 8;
  ScsiFlashDevice& device = Device();
  std::uint8_t first[10];
  ASSERT_EQ(device.ReadData78(0, first, sizeof first), kResultSuccess);  // finds the key, in full answers
  host.faults.dataInAnswered = kAnswered;
  struct Read {
    const char* name;
    std::size_t cleared;  // how much of the buffer the command clears
    std::function<ResultCode(std::uint8_t*)> run;
  };
  const std::vector<Read> reads = {
      {"ReadData78", 10, [&](std::uint8_t* b) { return device.ReadData78(0, b, 10); }},
      {"ReadData79", 10, [&](std::uint8_t* b) { return device.ReadData79(0, b, 10); }},
      {"ReadParameterBlock", 512, [&](std::uint8_t* b) { return device.ReadParameterBlock(b); }},
      {"ReadIdentityString", 14, [&](std::uint8_t* b) { return device.ReadIdentityString(b); }},
      {"ReadInfoBlock", 512, [&](std::uint8_t* b) { return device.ReadInfoBlock(b); }},
      {"ReadPage", 64, [&](std::uint8_t* b) { return device.ReadPage(b, 1); }},
      {"ReadBlockA4", 512, [&](std::uint8_t* b) { return device.ReadBlockA4(b); }},
      // Only the bulk area's first block is cleared; the rest is the caller's.
      {"ReadBulkArea", 512, [&](std::uint8_t* b) { return device.ReadBulkArea(b); }},
  };
  for (const Read& read : reads) {
    SCOPED_TRACE(read.name);
    std::vector<std::uint8_t> buffer(16384, 0xCC);
    const ResultCode result = read.run(buffer.data());
    if (result != kResultSuccess) {
      ADD_FAILURE() << "answered " << result;
      continue;
    }
    const std::vector<std::uint8_t> unanswered(buffer.begin() + kAnswered, buffer.begin() + read.cleared);
    EXPECT_EQ(unanswered, std::vector<std::uint8_t>(read.cleared - kAnswered, 0));
    EXPECT_EQ(buffer[read.cleared], 0xCC) << "written past what the command asked for";
  }
}

TEST_F(CatalogueTest, CapacityIsLittleEndianAndKeptOnFailure) {
  int megabytes = 0;
  ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
  EXPECT_EQ(megabytes, 1024);  // the key sent 0x00 0x04
  host.faults.failingIoctls.insert(host.CommandCount());
  megabytes = 77;
  EXPECT_EQ(GetKeyCapacity(&megabytes), kResultGeneralFailure);
  EXPECT_EQ(megabytes, 77);
}

TEST_F(CatalogueTest, StatusAnswersMapToTheirCodes) {
  ForceStatus(0);
  EXPECT_EQ(QueryKeyState98(), kResultState98Good);
  ForceStatus(2);
  EXPECT_EQ(QueryKeyState98(), kResultState98Bad);
  ForceStatus(2);
  EXPECT_EQ(ProbeKeyArea(0), kResultAreaZeroCheckFailed);
  ForceStatus(2);
  EXPECT_EQ(ProbeKeyArea(1), kResultAreaCheckFailed);
  ForceStatus(0);
  EXPECT_EQ(ProbeKeyArea(1), kResultSuccess);
  ForceStatus(2);
  EXPECT_EQ(ProbeKeyBlock(0x01020304, 0, 3), kResultBlockFlagged);
  ForceStatus(2);
  EXPECT_EQ(SubmitKeyPassword("secret", 6, 1, 0), kResultPasswordRefused);
  host.faults.failingIoctls.insert(host.CommandCount());
  EXPECT_EQ(QueryKeyState98(), kResultGeneralFailure);

  const auto commands = CommandsSinceMark();
  ASSERT_GE(commands.size(), 6u);
  EXPECT_EQ(commands[5].cdb[5], 3);  // ProbeBlock mode
  EXPECT_EQ(std::vector<std::uint8_t>(commands[5].cdb.begin() + 6, commands[5].cdb.end()),
            Bytes({1, 2, 3, 4}));
}

// A command that asks for no status takes a completed request as done, whatever the key answered.
TEST_F(CatalogueTest, CheckConditionWithoutAStatusSlotIsStillSuccessOverPassThrough) {
  ForceStatus(2);
  EXPECT_EQ(KeyCommand74(), kResultSuccess);
  const auto commands = CommandsSinceMark();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].status, 2);
}

TEST_F(CatalogueTest, PasswordRecordIsClampedAndWaitSelectsTheOption) {
  ForceStatus(0);
  ASSERT_EQ(SubmitKeyPassword("ABCDEFGHIJKLMNOPQRST", 20, 0, 1), kResultSuccess);
  auto commands = CommandsSinceMark();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].cdb[5], 1);
  EXPECT_EQ(commands[0].cdb[6], 0x88);
  std::vector<std::uint8_t> record(16, 0);
  std::memcpy(record.data(), "ABCDEFGHIJKLMNO", 15);
  record[15] = 15;
  EXPECT_EQ(commands[0].dataOut, record);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"cmd AD 93"}));

  mark = host.trace.Events().size();
  ForceStatus(0);
  ASSERT_EQ(SubmitKeyPassword("abc", 3, 1, 0), kResultSuccess);
  EXPECT_EQ(CommandsSinceMark()[0].cdb[6], 0x00);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"cmd AD 93", "pause 1000"}));
}

TEST_F(CatalogueTest, RefusedArgumentsSendNothing) {
  std::vector<std::uint8_t> bulk(16384);
  char hint[128];
  EXPECT_EQ(WriteKeyBulkArea(bulk.data(), 16383), kResultGeneralFailure);
  EXPECT_EQ(ProbeKeyArea(2), kResultGeneralFailure);
  EXPECT_EQ(ProbeKeyArea(-1), kResultGeneralFailure);
  EXPECT_EQ(GetKeyHint(hint, 5), kResultGeneralFailure);
  EXPECT_EQ(SetKeyHint("x", 1, 3), kResultGeneralFailure);
  EXPECT_EQ(ChangeKeyPassword("a", 1, "b", 1, "", 0, 4), kResultGeneralFailure);
  EXPECT_EQ(KeyCommand9E(2), kResultGeneralFailure);
  EXPECT_EQ(SetKeyPasswordAndHint("a", 1, "h", 1, 1), kResultGeneralFailure);
  EXPECT_TRUE(CommandsSinceMark().empty());
  EXPECT_EQ(KeyCommand9E(5), kResultSuccess);
  ASSERT_EQ(CommandsSinceMark().size(), 1u);
  EXPECT_EQ(CommandsSinceMark()[0].cdb[5], 5);
}

TEST_F(CatalogueTest, HintLengthByteAboveTheFieldIsClampedToIt) {
  key->Areas().SetPassword(0, "secret", std::string(128, 'h'));
  key->hintLengthAnswered = 200;
  std::array<char, 256> hint;
  hint.fill('S');
  ASSERT_EQ(GetKeyHint(hint.data(), 0), kResultSuccess);
  EXPECT_EQ(std::string(hint.data(), 128), std::string(128, 'h'));
  EXPECT_EQ(std::string(hint.data() + 128, 128), std::string(128, 'S')) << "nothing written past the field";
}

TEST_F(CatalogueTest, WriteProtectBitComesFromModeSense) {
  EXPECT_EQ(CheckKeyWriteProtect(), kResultSuccess);
  key->SetWriteProtected(true);
  EXPECT_EQ(CheckKeyWriteProtect(), kResultWriteProtected);
  const auto commands = CommandsSinceMark();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].cdb[0], 0x5A);
  EXPECT_TRUE(commands[0].dataIn);
  EXPECT_EQ(commands[0].length, 8u);
}

TEST_F(CatalogueTest, MediumCommandsPauseAndSettleOnlyOnSuccess) {
  ASSERT_EQ(KeyCommandB6(5), kResultSuccess);
  EXPECT_EQ(CommandsSinceMark()[0].cdb[7], 1);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"cmd AD B6", "pause 1000", "cmd 00 00"}));

  mark = host.trace.Events().size();
  host.faults.failingIoctls.insert(host.CommandCount());
  EXPECT_EQ(KeyCommandB6(0), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"cmd AD B6"}));

  mark = host.trace.Events().size();
  ASSERT_EQ(KeyCommand97(), kResultSuccess);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"cmd AD 97", "pause 1000"}));
}

TEST_F(CatalogueTest, RefreshTouchesTheKeysVolumeAgain) {
  const std::vector<std::string> settle = {"pause 500", "pause 500", "pause 500", "free E:\\ (GetDiskFreeSpaceExA)",
                                           "free E:\\ (GetDiskFreeSpaceA)", "cmd 00 00"};
  ASSERT_EQ(KeyCommand99(), kResultSuccess);
  auto story = StorySinceMark();
  ASSERT_FALSE(story.empty());
  EXPECT_EQ(story.front(), "cmd AD 95");  // the drive letter, looked up first
  EXPECT_EQ(std::vector<std::string>(story.end() - 7, story.end()),
            (std::vector<std::string>{"cmd AD 99", settle[0], settle[1], settle[2], settle[3], settle[4], settle[5]}));
  const auto commands = CommandsSinceMark();
  const auto refresh = std::find_if(commands.begin(), commands.end(), [](const auto& c) { return c.cdb[3] == 0x99; });
  ASSERT_NE(refresh, commands.end());
  EXPECT_EQ(refresh->dataOut, Bytes({0xFF, 0xFF}));

  mark = host.trace.Events().size();
  ASSERT_EQ(KeyCommandFF1D(), kResultSuccess);
  story = StorySinceMark();
  EXPECT_EQ(std::vector<std::string>(story.end() - 7, story.end()),
            (std::vector<std::string>{"cmd FF 1D", settle[0], settle[1], settle[2], settle[3], settle[4], settle[5]}));

  // A failed refresh returns at once.
  mark = host.trace.Events().size();
  host.faults.failingIoctls.insert(host.CommandCount() + 1);  // after the identity read
  EXPECT_EQ(KeyCommand99(), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark().back(), "cmd AD 99");

  // So does a failed reset: no settling, no free-space queries, no TEST UNIT READY.
  mark = host.trace.Events().size();
  host.faults.failingIoctls.insert(host.CommandCount() + 1);
  EXPECT_EQ(KeyCommandFF1D(), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark().back(), "cmd FF 1D");
}

TEST_F(CatalogueTest, ResetAnd9FPauseEvenWhenTheyFail) {
  host.faults.failingIoctls.insert(host.CommandCount());
  EXPECT_EQ(ResetKey(), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"cmd FF 1D", "pause 500", "pause 500", "pause 500"}));
  mark = host.trace.Events().size();
  host.faults.failingIoctls.insert(host.CommandCount());
  EXPECT_EQ(KeyCommand9F(), kResultGeneralFailure);
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"cmd AD 9F", "pause 250", "pause 250"}));
}

TEST_F(CatalogueTest, InquiryPausesOnlyOverPassThrough) {
  char vendor[8], product[16], revision[4];
  ASSERT_EQ(GetKeyInquiryStrings(vendor, product, revision), kResultSuccess);
  EXPECT_EQ(std::string(revision, 4), "2.45");
  EXPECT_EQ(std::string(product, 16), "KV 2 Zarno P9   ");
  EXPECT_EQ(StorySinceMark(), (std::vector<std::string>{"cmd 12 00", "pause 300"}));
}

TEST(SwapWordsBigEndian, ReversesWholeWordsOnly) {
  std::uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(SwapWordsBigEndian(bytes, 6), kResultSuccess);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 6), Bytes({4, 3, 2, 1, 5, 6}));
}

TEST(AppendBlockAddress, StopsAtEighteen) {
  std::uint32_t list[19] = {};
  for (std::uint32_t i = 0; i < 18; ++i) ASSERT_EQ(AppendBlockAddress(100 + i, 0, list), kResultSuccess);
  EXPECT_EQ(list[0], 18u);
  EXPECT_EQ(list[18], 117u);
  EXPECT_EQ(AppendBlockAddress(999, 0, list), kResultBlockListFull);
  EXPECT_EQ(list[0], 18u);
}
