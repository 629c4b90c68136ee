// Every entry function that reaches the key, on both transports: one row per call, judged by the
// commands the emulated key decoded (its own reading of each block), by the result, and by the
// pauses and volume queries on the host's trace, in the order they happened.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "key/key_records.h"
#include "tests/support/library_fixture.h"

namespace {

using emulated::EmulatedKey;
using emulated::KeyCommandRecord;
using emulated::TraceEvent;
using emulated::TraceKind;
using Data = std::vector<std::uint8_t>;
using Fields = std::map<std::string, std::uint32_t>;

enum class Transport { kPassThrough, kHelperDriver };

// What every block carries in the bytes its command leaves unassigned, at the fixture's date
// (12/07/26) and second (1000000000): the filler's bytes 4 and 5.
constexpr std::uint8_t kFillerByte4 = 0xFB;
constexpr std::uint8_t kFillerByte5 = 0x35;
constexpr std::uint8_t kFiller[6] = {kFillerByte4, kFillerByte5, 0x37, 0x4E, 0x25, 0xF7};  // bytes 4..9

// The block bytes 4..9 a vendor command assigns, by its subcode (and data phase, for 0x79).
std::set<std::size_t> ParameterBytes(std::uint8_t subcode, bool dataIn) {
  switch (subcode) {
    case 0x71: return {5, 6, 7, 8, 9};  // mode, address
    case 0x77: case 0x78: case 0x8B: case 0x8C: case 0xFF: return {4};  // index
    case 0x79: return dataIn ? std::set<std::size_t>{4} : std::set<std::size_t>{5};
    case 0x7B: case 0x96: case 0x9E: case 0xB0: case 0xB1: case 0xB2: case 0xB3: return {5};
    case 0x93: return {5, 6};  // area, wait
    case 0xA1: case 0xA2: return {8, 9};  // page
    case 0xB6: return {7};
    default: return {};
  }
}

// ---- The expected story of a call --------------------------------------------------------------

struct Step {
  enum class Kind { kCommand, kLost, kPause, kFreeSpace };
  Kind kind = Kind::kCommand;
  std::string name;   // the key's name for the command; the free-space query's text
  std::string phase;  // "none", "in" or "out"
  std::uint32_t length = 0;
  Fields fields;         // every field the key decoded
  bool refused = false;  // the key answered CHECK CONDITION
  std::optional<Data> dataOut;
  std::map<std::size_t, std::uint8_t> blockBytes;  // block bytes the key keeps no field for
  std::uint32_t milliseconds = 0;
  std::optional<Transport> only;

  Step Refused() const {
    Step s = *this;
    s.refused = true;
    return s;
  }
  Step Over(Transport transport) const {
    Step s = *this;
    s.only = transport;
    return s;
  }
  Step WithBlockBytes(std::map<std::size_t, std::uint8_t> bytes) const {
    Step s = *this;
    s.blockBytes = std::move(bytes);
    return s;
  }
};

Step Command(std::string name, std::string phase, std::uint32_t length, Fields fields) {
  Step s;
  s.name = std::move(name);
  s.phase = std::move(phase);
  s.length = length;
  s.fields = std::move(fields);
  return s;
}
Step None(std::string name, Fields fields = {}) { return Command(std::move(name), "none", 0, std::move(fields)); }
Step In(std::string name, std::uint32_t length, Fields fields = {}) {
  return Command(std::move(name), "in", length, std::move(fields));
}
Step Out(std::string name, Data data, Fields fields = {}) {
  Step s = Command(std::move(name), "out", static_cast<std::uint32_t>(data.size()), std::move(fields));
  s.dataOut = std::move(data);
  return s;
}
// A vendor command the system attempted but that never reached the key.
Step Lost(std::uint8_t subcode) {
  Step s;
  s.kind = Step::Kind::kLost;
  char text[8];
  std::snprintf(text, sizeof text, "%02X", subcode);
  s.name = text;
  return s;
}
Step Pause(std::uint32_t milliseconds) {
  Step s;
  s.kind = Step::Kind::kPause;
  s.milliseconds = milliseconds;
  return s;
}
Step FreeSpace(std::string query) {
  Step s;
  s.kind = Step::Kind::kFreeSpace;
  s.name = std::move(query);
  return s;
}

std::string CommandLine(const std::string& name, const std::string& phase, std::uint32_t length,
                        const Fields& fields, bool refused) {
  std::string line = name + " " + phase + " " + std::to_string(length) + " {";
  for (const auto& [field, value] : fields) {
    char text[48];
    std::snprintf(text, sizeof text, "%s%s=%#x", line.back() == '{' ? "" : " ", field.c_str(), value);
    line += text;
  }
  return line + "}" + (refused ? " CHECK CONDITION" : "");
}

std::string Line(const Step& s) {
  switch (s.kind) {
    case Step::Kind::kCommand:
      return CommandLine(s.name, s.phase, s.length, s.fields, s.refused);
    case Step::Kind::kLost:
      return "never reached the key: AD " + s.name;
    case Step::Kind::kPause:
      return "pause " + std::to_string(s.milliseconds);
    case Step::Kind::kFreeSpace:
      return "free " + s.name;
  }
  return {};
}

// Commands whose rows end with a medium change: three pauses, the key's volume touched again,
// then TEST UNIT READY.
std::vector<Step> Settling() {
  return {Pause(500), Pause(500), Pause(500), FreeSpace("E:\\ (GetDiskFreeSpaceExA)"),
          FreeSpace("E:\\ (GetDiskFreeSpaceA)"), None("TestUnitReady")};
}

std::vector<Step> Then(std::vector<Step> first, const std::vector<Step>& rest) {
  first.insert(first.end(), rest.begin(), rest.end());
  return first;
}

// The probes of a block scan over blocks 0 to count - 1 of a zone; flagged ones are refused.
std::vector<Step> Probes(std::uint32_t zone, std::uint32_t mode, std::uint32_t stride, std::uint32_t count,
                         const std::set<std::uint32_t>& flagged) {
  std::vector<Step> probes;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t address = (zone * 1024 + i) * stride;
    const Step probe = None("ProbeBlock", {{"mode", mode}, {"address", address}});
    probes.push_back(flagged.count(address) != 0 ? probe.Refused() : probe);
  }
  return probes;
}

// ---- Payloads, laid out here from their documented offsets -------------------------------------

Data Text(const std::string& text) { return Data(text.begin(), text.end()); }
Data Zeros(std::size_t n) { return Data(n, 0); }
Data Pattern(std::size_t n, std::uint8_t seed) {
  Data d(n);
  for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(seed + i * 7);
  return d;
}
Data Slice(const Data& data, std::size_t from, std::size_t to) {
  return Data(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(to));
}
Data Overwrite(Data base, std::size_t at, const Data& bytes) {
  std::copy(bytes.begin(), bytes.end(), base.begin() + static_cast<std::ptrdiff_t>(at));
  return base;
}
// The records hold the text the key should see, already cut to its field.
Data PasswordRecord(const std::string& text) {
  Data record = Overwrite(Zeros(16), 0, Text(text));
  record[15] = static_cast<std::uint8_t>(text.size());
  return record;
}
Data HintRecord(const std::string& text) {
  Data record = Overwrite(Zeros(129), 0, Text(text));
  record[128] = static_cast<std::uint8_t>(text.size());
  return record;
}
Data PasswordAndHint(const std::string& password, const std::string& hint) {
  Data payload = Overwrite(Zeros(145), 0, PasswordRecord(password));
  payload = Overwrite(payload, 16, Text(hint));
  payload[144] = static_cast<std::uint8_t>(hint.size());
  return payload;
}
Data PasswordChange(const std::string& current, const std::string& next, const std::string& hint) {
  Data payload = Overwrite(Zeros(512), 0, PasswordRecord(current));
  payload = Overwrite(payload, 16, PasswordRecord(next));
  payload = Overwrite(payload, 32, Text(hint));
  payload[160] = static_cast<std::uint8_t>(hint.size());
  return payload;
}
// The key's parameter block with the host's copy of the hint at 21 and its length at 149.
Data ParameterBlockWithHint(const Data& block, const std::string& hint) {
  Data result = Overwrite(block, 21, Text(hint));
  result[149] = static_cast<std::uint8_t>(hint.size());
  return result;
}
emulated::key_record::Block512 Block(const Data& bytes) {
  emulated::key_record::Block512 block{};
  std::copy(bytes.begin(), bytes.end(), block.begin());
  return block;
}

const std::string kTwenty = "ABCDEFGHIJKLMNOPQRST";
const std::string kTwentyCutToFifteen = "ABCDEFGHIJKLMNO";
const Data kParameterBlock = Pattern(512, 0x40);
const Data kSectors = Pattern(33 * 512, 0x01);
const Data kInfoBlock = Pattern(512, 0x21);

// What the key holds for a diagnostic read, and the same as the caller must receive it: each
// whole 32-bit word turned most significant byte first, the two bytes after them as they were.
const Data kHeld = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19};
const Data kHeldSwapped = {0x13, 0x12, 0x11, 0x10, 0x17, 0x16, 0x15, 0x14, 0x18, 0x19};

// ---- The rows ----------------------------------------------------------------------------------

struct Call {
  emulated::EmulatedHost& host;
  EmulatedKey& key;
  // The command sent `ahead` commands from now fails in the system, before the key sees it.
  void FailCommand(std::uint64_t ahead = 0) { host.faults.failingIoctls.insert(host.CommandCount() + ahead); }
};

struct Row {
  std::string name;
  std::function<ResultCode(Call&)> call;  // arranges the key, calls, checks the outputs
  ResultCode result;
  std::vector<Step> story;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
void PrintTo(Transport transport, std::ostream* os) {
  *os << (transport == Transport::kPassThrough ? "pass-through" : "helper driver");
}

// A 10-byte diagnostic read after the key was given kHeld for (subcode, index); what the caller
// receives must be `expected`.
ResultCode ReadDiagnostic(Call& c, std::uint8_t subcode, std::uint8_t index, const Data& expected,
                          const std::function<ResultCode(void*, std::uint32_t)>& read) {
  c.key.SetDiagnosticData(subcode, index, kHeld);
  Data buffer(10, 0xEE);
  const ResultCode result = read(buffer.data(), 10);
  EXPECT_EQ(buffer, expected);
  return result;
}

ResultCode GetHintExpecting(int area, const std::string& expected) {
  char hint[128];
  std::memset(hint, '#', sizeof hint);
  const ResultCode result = GetKeyHint(hint, area);
  EXPECT_EQ(std::string(hint, sizeof hint), expected + std::string(128 - expected.size(), '\0'));
  return result;
}

const std::vector<Row>& Rows() {
  constexpr auto kPassThrough = Transport::kPassThrough;
  constexpr auto kHelper = Transport::kHelperDriver;
  static const std::vector<Row> rows = {
      // ---- Discovery and identification ----
      {"FindKey",
       [](Call&) {
         char name[20] = {};
         int count = 0;
         const ResultCode result = FindKey(name, &count);
         EXPECT_STREQ(name, "KV 2 Zarno P9");
         EXPECT_EQ(count, 1);
         return result;
       },
       kResultSuccess,
       {In("Inquiry", 56, {{"allocation", 56}}).Over(kHelper), In("ReadIdentityString", 14)}},
      {"GetKeyDriveLetter",
       [](Call&) {
         char letter = 0;
         const ResultCode result = GetKeyDriveLetter(&letter);
         EXPECT_EQ(letter, 'E');
         return result;
       },
       kResultSuccess,
       // The helper driver's key gets its letter from the registry.
       {In("ReadIdentityString", 14).Over(kPassThrough)}},
      {"GetKeyInquiryStrings",
       [](Call&) {
         char vendor[8], product[16], revision[4];
         const ResultCode result = GetKeyInquiryStrings(vendor, product, revision);
         EXPECT_EQ(std::string(vendor, 8), "Varnok  ");
         EXPECT_EQ(std::string(product, 16), "KV 2 Zarno P9   ");
         EXPECT_EQ(std::string(revision, 4), "2.45");
         return result;
       },
       kResultSuccess,
       // The helper driver's strings were kept from its identification.
       {In("Inquiry", 36, {{"allocation", 36}}).Over(kPassThrough), Pause(300).Over(kPassThrough)}},

      // ---- Medium and sectors ----
      {"GetKeyCapacity",
       [](Call&) {
         int megabytes = 0;
         const ResultCode result = GetKeyCapacity(&megabytes);
         EXPECT_EQ(megabytes, 1024);
         return result;
       },
       kResultSuccess,
       {In("ReadCapacityMb", 2)}},
      {"GetKeyFlashConfig",
       [](Call&) {
         int typeCode = -1, bankCount = -1;
         const ResultCode result = GetKeyFlashConfig(&typeCode, &bankCount);
         EXPECT_EQ(typeCode, 2);
         EXPECT_EQ(bankCount, 1);
         return result;
       },
       kResultSuccess,
       {In("ReadFlashConfig", 4)}},
      {"CheckKeyWriteProtect", [](Call&) { return CheckKeyWriteProtect(); }, kResultSuccess,
       {In("ModeSense10", 8, {{"allocation", 8}, {"pageCode", 5}})}},
      {"CheckKeyWriteProtect_Protected",
       [](Call& c) {
         c.key.SetWriteProtected(true);
         return CheckKeyWriteProtect();
       },
       kResultWriteProtected,
       {In("ModeSense10", 8, {{"allocation", 8}, {"pageCode", 5}})}},
      {"KeyCommandB6_Flag0", [](Call&) { return KeyCommandB6(0); }, kResultSuccess,
       {None("SwitchMedium", {{"flag", 0}}), Pause(1000), None("TestUnitReady")}},
      // The second area is empty on this key: it answers NOT READY, which the call ignores.
      {"KeyCommandB6_Flag5", [](Call&) { return KeyCommandB6(5); }, kResultSuccess,
       {None("SwitchMedium", {{"flag", 1}}), Pause(1000), None("TestUnitReady").Refused()}},
      {"KeyCommand97", [](Call&) { return KeyCommand97(); }, kResultSuccess,
       {None("SendCommand97"), Pause(1000)}},
      {"KeyCommand99", [](Call&) { return KeyCommand99(); }, kResultSuccess,
       Then({In("ReadIdentityString", 14).Over(kPassThrough), Out("RefreshMedium", {0xFF, 0xFF})}, Settling())},
      {"KeyCommandFF1D", [](Call&) { return KeyCommandFF1D(); }, kResultSuccess,
       Then({In("ReadIdentityString", 14).Over(kPassThrough), None("DeviceReset")}, Settling())},
      {"ResetKey", [](Call&) { return ResetKey(); }, kResultSuccess,
       {None("DeviceReset"), Pause(500), Pause(500), Pause(500)}},
      {"KeyCommand9F", [](Call&) { return KeyCommand9F(); }, kResultSuccess,
       {None("SendCommand9F"), Pause(250), Pause(250)}},
      {"KeyCommand9E_0", [](Call&) { return KeyCommand9E(0); }, kResultSuccess,
       {None("SendCommand9E", {{"index", 0}})}},
      {"KeyCommand9E_1", [](Call&) { return KeyCommand9E(1); }, kResultSuccess,
       {None("SendCommand9E", {{"index", 1}})}},
      {"KeyCommand9E_5", [](Call&) { return KeyCommand9E(5); }, kResultSuccess,
       {None("SendCommand9E", {{"index", 5}})}},
      {"KeyCommand9E_2", [](Call&) { return KeyCommand9E(2); }, kResultGeneralFailure, {}},
      {"WriteKeySectors",
       [](Call&) { return WriteKeySectors(100, kSectors.data(), 33); },
       kResultSuccess,
       {Out("Write10", Slice(kSectors, 0, 32 * 512), {{"lba", 100}, {"count", 32}}),
        Out("Write10", Slice(kSectors, 32 * 512, 33 * 512), {{"lba", 132}, {"count", 1}})}},
      {"ReadKeySectors",
       [](Call& c) {
         const Data stored = Pattern(1024, 0x33);
         EXPECT_TRUE(c.key.Flash().Write(7, 2, stored.data()));
         Data buffer(1024, 0xEE);
         const ResultCode result = ReadKeySectors(7, buffer.data(), 2);
         EXPECT_EQ(buffer, stored);
         return result;
       },
       kResultSuccess,
       {In("Read10", 1024, {{"lba", 7}, {"count", 2}})}},
      {"QueryKeyState98", [](Call&) { return QueryKeyState98(); }, kResultState98Good, {None("QueryState98")}},
      {"QueryKeyState98_Bad",
       [](Call& c) {
         c.key.SetState98Good(false);
         return QueryKeyState98();
       },
       kResultState98Bad,
       {None("QueryState98").Refused()}},

      // ---- Areas, passwords and hints ----
      {"ProbeKeyArea_0WithoutPassword", [](Call&) { return ProbeKeyArea(0); }, kResultAreaZeroCheckFailed,
       {None("ProbeArea", {{"area", 0}}).Refused()}},
      {"ProbeKeyArea_1WithoutPassword", [](Call&) { return ProbeKeyArea(1); }, kResultAreaCheckFailed,
       {None("ProbeArea", {{"area", 1}}).Refused()}},
      {"ProbeKeyArea_1WithPassword",
       [](Call& c) {
         c.key.Areas().SetPassword(1, "pw", "");
         return ProbeKeyArea(1);
       },
       kResultSuccess,
       {None("ProbeArea", {{"area", 1}})}},
      {"ProbeKeyArea_2", [](Call&) { return ProbeKeyArea(2); }, kResultGeneralFailure, {}},
      {"SetKeyPasswordAndHint",
       [](Call& c) {
         const ResultCode result = SetKeyPasswordAndHint("secret", 6, "my hint", 7, 0);
         EXPECT_EQ(c.key.Areas().Password(0), "secret");
         return result;
       },
       kResultSuccess,
       {None("ProbeArea", {{"area", 0}}).Refused(),
        Out("SetPasswordAndHint", PasswordAndHint("secret", "my hint"),
            {{"area", 0}, {"passwordLength", 6}, {"hintLength", 7}})}},
      {"SetKeyPasswordAndHint_LongTextsAreCut",
       [](Call&) {
         const std::string hint(130, 'h');
         return SetKeyPasswordAndHint(kTwenty.c_str(), 20, hint.c_str(), 130, 0);
       },
       kResultSuccess,
       {None("ProbeArea", {{"area", 0}}).Refused(),
        Out("SetPasswordAndHint", PasswordAndHint(kTwentyCutToFifteen, std::string(128, 'h')),
            {{"area", 0}, {"passwordLength", 15}, {"hintLength", 128}})}},
      {"SetKeyPasswordAndHint_AreaAlreadyHasOne",
       [](Call& c) {
         c.key.Areas().SetPassword(0, "old", "");
         return SetKeyPasswordAndHint("secret", 6, "my hint", 7, 0);
       },
       kResultGeneralFailure,
       {None("ProbeArea", {{"area", 0}})}},
      {"SetKeyPasswordAndHint_Area1", [](Call&) { return SetKeyPasswordAndHint("secret", 6, "h", 1, 1); },
       kResultGeneralFailure, {}},
      {"SubmitKeyPassword_WaitsAfterUnlocking",
       [](Call& c) {
         c.key.Areas().SetPassword(0, kTwentyCutToFifteen, "");
         c.key.Areas().LockAll();
         const ResultCode result = SubmitKeyPassword(kTwenty.c_str(), 20, 1, 0);
         EXPECT_TRUE(c.key.Areas().Unlocked(0));
         return result;
       },
       kResultSuccess,
       {Out("SubmitPassword", PasswordRecord(kTwentyCutToFifteen), {{"area", 0}, {"wait", 1}, {"passwordLength", 15}}),
        Pause(1000)}},
      {"SubmitKeyPassword_WithoutWait",
       [](Call& c) {
         c.key.Areas().SetPassword(1, "pw1", "");
         c.key.Areas().LockAll();
         return SubmitKeyPassword("pw1", 3, 0, 1);
       },
       kResultSuccess,
       {Out("SubmitPassword", PasswordRecord("pw1"), {{"area", 1}, {"wait", 0}, {"passwordLength", 3}})}},
      {"SubmitKeyPassword_Area3SendsArea5", [](Call&) { return SubmitKeyPassword("secret", 6, 1, 3); },
       kResultPasswordRefused,
       {Out("SubmitPassword", PasswordRecord("secret"), {{"area", 5}, {"wait", 1}, {"passwordLength", 6}}).Refused()}},
      {"SubmitKeyPassword_Area2SendsArea5", [](Call&) { return SubmitKeyPassword("secret", 6, 1, 2); },
       kResultPasswordRefused,
       {Out("SubmitPassword", PasswordRecord("secret"), {{"area", 5}, {"wait", 1}, {"passwordLength", 6}}).Refused()}},
      {"SubmitKeyPassword_Area4SendsArea5", [](Call&) { return SubmitKeyPassword("secret", 6, 1, 4); },
       kResultPasswordRefused,
       {Out("SubmitPassword", PasswordRecord("secret"), {{"area", 5}, {"wait", 1}, {"passwordLength", 6}}).Refused()}},
      {"SubmitKeyPassword_Area7SendsArea7", [](Call&) { return SubmitKeyPassword("secret", 6, 1, 7); },
       kResultPasswordRefused,
       {Out("SubmitPassword", PasswordRecord("secret"), {{"area", 7}, {"wait", 1}, {"passwordLength", 6}}).Refused()}},
      {"ChangeKeyPassword_FirstPassword",
       [](Call& c) {
         c.key.SetParameterBlock(Block(kParameterBlock));
         const ResultCode result = ChangeKeyPassword("", 0, "newpass", 7, "new hint", 8, 0);
         EXPECT_EQ(c.key.Areas().Password(0), "newpass");
         return result;
       },
       kResultSuccess,
       {Out("ChangePassword", PasswordChange("", "newpass", "new hint"),
            {{"area", 0}, {"passwordLength", 0}, {"newPasswordLength", 7}, {"hintLength", 8}}),
        In("ReadParameterBlock", 512),
        Out("WriteParameterBlock", ParameterBlockWithHint(kParameterBlock, "new hint"), {{"hintLength", 8}})}},
      {"ChangeKeyPassword_LongTextsAreCut",
       [](Call& c) {
         c.key.SetParameterBlock(Block(kParameterBlock));
         c.key.Areas().SetPassword(1, kTwentyCutToFifteen, "old");
         const std::string hint(200, 'h');
         const ResultCode result =
             ChangeKeyPassword(kTwenty.c_str(), 20, "0123456789abcdefXYZ", 19, hint.c_str(), 200, 1);
         EXPECT_EQ(c.key.Areas().Password(1), "0123456789abcde");
         return result;
       },
       kResultSuccess,
       {Out("ChangePassword", PasswordChange(kTwentyCutToFifteen, "0123456789abcde", std::string(128, 'h')),
            {{"area", 1}, {"passwordLength", 15}, {"newPasswordLength", 15}, {"hintLength", 128}}),
        In("ReadParameterBlock", 512),
        Out("WriteParameterBlock", ParameterBlockWithHint(kParameterBlock, std::string(128, 'h')),
            {{"hintLength", 128}})}},
      {"ChangeKeyPassword_UnreadParameterBlockIsNotWrittenBack",
       [](Call& c) {
         c.key.SetParameterBlock(Block(kParameterBlock));
         c.FailCommand(1);
         const ResultCode result = ChangeKeyPassword("", 0, "newpass", 7, "new hint", 8, 0);
         EXPECT_EQ(c.key.Areas().Password(0), "newpass");
         const auto& kept = c.key.ParameterBlock();
         EXPECT_EQ(Data(kept.begin(), kept.end()), kParameterBlock) << "the key's parameters were overwritten";
         return result;
       },
       kResultSuccess,
       {Out("ChangePassword", PasswordChange("", "newpass", "new hint"),
            {{"area", 0}, {"passwordLength", 0}, {"newPasswordLength", 7}, {"hintLength", 8}}),
        Lost(0x92)}},
      {"ChangeKeyPassword_WrongCurrentPassword",
       [](Call& c) {
         c.key.Areas().SetPassword(0, "right", "");
         return ChangeKeyPassword("wrong", 5, "next", 4, "", 0, 0);
       },
       kResultPasswordRefused,
       {Out("ChangePassword", PasswordChange("wrong", "next", ""),
            {{"area", 0}, {"passwordLength", 5}, {"newPasswordLength", 4}, {"hintLength", 0}})
            .Refused()}},
      {"ChangeKeyPassword_Area4", [](Call&) { return ChangeKeyPassword("a", 1, "b", 1, "", 0, 4); },
       kResultGeneralFailure, {}},
      {"GetKeyHint",
       [](Call& c) {
         c.key.Areas().SetPassword(1, "pw", "the hint");
         return GetHintExpecting(1, "the hint");
       },
       kResultSuccess,
       {None("ProbeArea", {{"area", 1}}), In("ReadHint", 129, {{"area", 1}})}},
      {"GetKeyHint_AreaWithoutPassword", [](Call&) { return GetHintExpecting(0, ""); }, kResultAreaZeroCheckFailed,
       {None("ProbeArea", {{"area", 0}}).Refused()}},
      {"GetKeyHint_EmptyHint",
       [](Call& c) {
         c.key.Areas().SetPassword(0, "pw", "");
         return GetHintExpecting(0, "");
       },
       kResultHintEmpty,
       {None("ProbeArea", {{"area", 0}}), In("ReadHint", 129, {{"area", 0}})}},
      {"GetKeyHint_Area5",
       [](Call&) {
         char hint[128];
         std::memset(hint, '#', sizeof hint);
         const ResultCode result = GetKeyHint(hint, 5);
         EXPECT_EQ(std::string(hint, sizeof hint), std::string(128, '#'));  // refused before anything
         return result;
       },
       kResultGeneralFailure, {}},
      {"SetKeyHint",
       [](Call& c) {
         c.key.Areas().SetPassword(1, "pw", "old");
         const ResultCode result = SetKeyHint("new hint", 8, 1);
         EXPECT_EQ(c.key.Areas().Hint(1), "new hint");
         return result;
       },
       kResultSuccess,
       {Out("WriteHint", HintRecord("new hint"), {{"area", 1}, {"hintLength", 8}})}},
      {"SetKeyHint_Area2", [](Call&) { return SetKeyHint("new hint", 8, 2); }, kResultGeneralFailure, {}},

      // ---- Pages and blocks ----
      {"WriteKeyPage",
       [](Call& c) {
         const Data page = Pattern(64, 0x05);
         const ResultCode result = WriteKeyPage(page.data(), 0x1234);
         const auto stored = c.key.Page(0x1234);
         EXPECT_EQ(Data(stored.begin(), stored.end()), page);
         return result;
       },
       kResultSuccess,
       {Out("WritePage", Pattern(64, 0x05), {{"page", 0x1234}})}},
      {"ReadKeyPage",
       [](Call& c) {
         std::array<std::uint8_t, 64> stored;
         const Data pattern = Pattern(64, 0x09);
         std::copy(pattern.begin(), pattern.end(), stored.begin());
         c.key.SetPage(0x0102, stored);
         Data buffer(64, 0xEE);
         const ResultCode result = ReadKeyPage(buffer.data(), 0x0102);
         EXPECT_EQ(buffer, pattern);
         return result;
       },
       kResultSuccess,
       {In("ReadPage", 64, {{"page", 0x0102}})}},
      {"ProbeKeyBlock", [](Call&) { return ProbeKeyBlock(0x01020304, 77, 3); }, kResultSuccess,
       {None("ProbeBlock", {{"mode", 3}, {"address", 0x01020304}})}},
      {"ProbeKeyBlock_Flagged",
       [](Call& c) {
         c.key.FlaggedBlocks().insert(0x00ABCDEF);
         return ProbeKeyBlock(0x00ABCDEF, 0, 1);
       },
       kResultBlockFlagged,
       {None("ProbeBlock", {{"mode", 1}, {"address", 0x00ABCDEF}}).Refused()}},
      {"ScanKeyBlocks_RecordsEveryFlaggedBlock",
       [](Call& c) {
         c.key.FlaggedBlocks() = {2047, 2051, 3048, 3072};  // the first and last lie outside zone 2
         std::uint32_t list[19] = {};
         const ResultCode result = ScanKeyBlocks(2, 0, 1, list);
         EXPECT_EQ(list[0], 2u);
         EXPECT_EQ(list[1], 2051u);
         EXPECT_EQ(list[2], 3048u);
         EXPECT_EQ(list[3], 0u);
         return result;
       },
       kResultSuccess, Probes(2, 0, 1, 1024, {2051, 3048})},
      {"ScanKeyBlocks_FullListStopsAtTheFirstFlaggedBlock",
       [](Call& c) {
         c.key.FlaggedBlocks() = {(1024 + 5) * 4, (1024 + 9) * 4};
         std::uint32_t list[19] = {18};
         for (std::uint32_t i = 1; i <= 18; ++i) list[i] = 900 + i;
         const ResultCode result = ScanKeyBlocks(1, 2, 4, list);
         EXPECT_EQ(list[0], 18u);
         EXPECT_EQ(list[18], 918u);
         return result;
       },
       kResultBlockListFull, Probes(1, 2, 4, 6, {(1024 + 5) * 4})},

      // ---- Diagnostic reads: the caller receives the words turned around ----
      {"ReadKeyDataFF",
       [](Call& c) {
         return ReadDiagnostic(c, 0xFF, 3, kHeldSwapped,
                               [](void* b, std::uint32_t n) { return ReadKeyDataFF(3, b, n); });
       },
       kResultSuccess, {In("ReadDataFF", 10, {{"index", 3}})}},
      {"ReadKeyDataFF_FailedReadIsTurnedAroundToo",
       [](Call& c) {
         Data buffer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
         c.FailCommand();
         const ResultCode result = ReadKeyDataFF(3, buffer.data(), 10);
         EXPECT_EQ(buffer, (Data{4, 3, 2, 1, 8, 7, 6, 5, 9, 10}));
         return result;
       },
       kResultGeneralFailure, {Lost(0xFF)}},
      {"ReadKeyData8B",
       [](Call& c) {
         return ReadDiagnostic(c, 0x8B, 4, kHeldSwapped,
                               [](void* b, std::uint32_t n) { return ReadKeyData8B(4, b, n); });
       },
       kResultSuccess, {In("ReadData8B", 10, {{"index", 4}})}},
      {"ReadKeyData8C",
       [](Call& c) {
         return ReadDiagnostic(c, 0x8C, 2, kHeldSwapped,
                               [](void* b, std::uint32_t n) { return ReadKeyData8C(2, b, n); });
       },
       kResultSuccess, {In("ReadData8C", 10, {{"index", 2}}), None("SendCommand77", {{"index", 0}})}},
      {"ReadKeyData78",
       [](Call& c) {
         return ReadDiagnostic(c, 0x78, 6, kHeldSwapped,
                               [](void* b, std::uint32_t n) { return ReadKeyData78(6, b, n); });
       },
       kResultSuccess, {In("ReadData78", 10, {{"index", 6}}), None("SendCommand77", {{"index", 0}})}},
      {"ReadKeyData79",
       [](Call& c) {
         return ReadDiagnostic(c, 0x79, 5, kHeldSwapped,
                               [](void* b, std::uint32_t n) { return ReadKeyData79(5, b, n); });
       },
       kResultSuccess,
       {None("SendCommand77", {{"index", 5}}), In("ReadData79", 10, {{"index", 5}}),
        None("SendCommand77", {{"index", 0}})}},
      {"ReadKeyData79_FailedSelectionStops",
       [](Call& c) {
         Data buffer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
         c.FailCommand();
         const ResultCode result = ReadKeyData79(5, buffer.data(), 10);
         EXPECT_EQ(buffer, (Data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
         return result;
       },
       kResultGeneralFailure, {Lost(0x77)}},
      {"ReadKeyData78First",
       [](Call& c) {
         return ReadDiagnostic(c, 0x78, 0, kHeldSwapped,
                               [](void* b, std::uint32_t n) { return ReadKeyData78First(b, n); });
       },
       kResultSuccess, {In("ReadData78", 10, {{"index", 0}})}},
      {"ReadKeyData79First",
       [](Call& c) {
         return ReadDiagnostic(c, 0x79, 0, kHeld,
                               [](void* b, std::uint32_t n) { return ReadKeyData79First(b, n); });
       },
       kResultSuccess, {In("ReadData79", 10, {{"index", 0}})}},

      // ---- Diagnostic writes and commands ----
      {"WriteKeyData72And73",
       [](Call&) {
         Data first = Text("ABCDE");
         Data second(7, 0x11);
         const ResultCode result = WriteKeyData72And73(first.data(), 5, second.data(), 7);
         EXPECT_EQ(first, Zeros(5));
         EXPECT_EQ(second, Zeros(7));
         return result;
       },
       kResultSuccess,
       {Out("WriteData72", Zeros(5)), Out("WriteData73", Zeros(7)), None("SendCommand75"), None("SendCommand74"),
        None("SendCommand77", {{"index", 0}})}},
      {"WriteKeyData72And73_StopsAtAFailedStep",
       [](Call& c) {
         Data first(5, 0x22), second(7, 0x11);
         c.FailCommand(1);
         return WriteKeyData72And73(first.data(), 5, second.data(), 7);
       },
       kResultGeneralFailure, {Out("WriteData72", Zeros(5)), Lost(0x73)}},
      {"WriteKeyData72",
       [](Call&) {
         Data buffer = Text("stage!");
         const ResultCode result = WriteKeyData72(buffer.data(), 6);
         EXPECT_EQ(buffer, Zeros(6));
         return result;
       },
       kResultSuccess, {Out("WriteData72", Zeros(6))}},
      {"KeyCommand7B_0", [](Call&) { return KeyCommand7B(0); }, kResultSuccess, {None("SendCommand7B", {{"kind", 0}})}},
      {"KeyCommand7B_3", [](Call&) { return KeyCommand7B(3); }, kResultSuccess, {None("SendCommand7B", {{"kind", 3}})}},
      // Outside 0 to 3 the kind byte keeps its filler.
      {"KeyCommand7B_4", [](Call&) { return KeyCommand7B(4); }, kResultSuccess,
       {None("SendCommand7B", {{"kind", kFillerByte5}})}},
      {"KeyCommand7B_Minus1", [](Call&) { return KeyCommand7B(-1); }, kResultSuccess,
       {None("SendCommand7B", {{"kind", kFillerByte5}})}},
      {"KeyCommand74", [](Call&) { return KeyCommand74(); }, kResultSuccess, {None("SendCommand74")}},
      {"KeyCommand75", [](Call&) { return KeyCommand75(); }, kResultSuccess, {None("SendCommand75")}},
      {"KeyCommand77", [](Call&) { return KeyCommand77(9); }, kResultSuccess, {None("SendCommand77", {{"index", 9}})}},
      {"KeyNoOperation", [](Call&) { return KeyNoOperation(7); }, kResultSuccess, {}},
      {"WriteKeyData79",
       [](Call&) {
         const Data data = Pattern(1024, 0x79);
         return WriteKeyData79(123, data.data());
       },
       kResultSuccess,
       // Byte 5 is 0x01; byte 4 carries no index, only filler.
       {Out("WriteData79", Pattern(1024, 0x79)).WithBlockBytes({{4, kFillerByte4}, {5, 0x01}})}},
      {"ReadKeyBulkArea",
       [](Call& c) {
         Data buffer(16384, 0x00);
         const ResultCode result = ReadKeyBulkArea(buffer.data());
         EXPECT_EQ(buffer, c.key.BulkArea());
         return result;
       },
       kResultSuccess, {In("ReadBulkArea", 16384)}},
      {"WriteKeyBulkArea",
       [](Call& c) {
         const Data data = Pattern(16384, 0x82);
         const ResultCode result = WriteKeyBulkArea(data.data(), 16384);
         EXPECT_EQ(c.key.BulkArea(), data);
         return result;
       },
       kResultSuccess, {Out("WriteBulkArea", Pattern(16384, 0x82))}},
      {"WriteKeyBulkArea_16383",
       [](Call&) {
         const Data data(16384);
         return WriteKeyBulkArea(data.data(), 16383);
       },
       kResultGeneralFailure, {}},
      {"ReadKeyBlockA4",
       [](Call& c) {
         Data buffer(512, 0x00);
         const ResultCode result = ReadKeyBlockA4(buffer.data());
         EXPECT_EQ(buffer, Data(c.key.BlockA3().begin(), c.key.BlockA3().end()));
         return result;
       },
       kResultSuccess, {In("ReadBlockA4", 512)}},
      {"WriteKeyBlockA3",
       [](Call&) {
         const Data data = Pattern(512, 0xA3);
         return WriteKeyBlockA3(data.data());
       },
       kResultSuccess, {Out("WriteBlockA3", Pattern(512, 0xA3))}},

      // ---- The information block ----
      {"GetKeyDeviceInfo",
       [](Call& c) {
         emulated::key_record::InfoContents contents;
         contents.vendorId = 0x1B0A;
         contents.productId = 0x0C03;
         contents.configuration = 0x05;
         c.key.SetInfoBlock(emulated::key_record::BuildInfoBlock(contents));
         char vendorId[5], productId[5], manufacturer[21] = {}, product[21] = {}, serial[25] = {};
         char scsiVendor[8], scsiProduct[16], scsiRevision[4], configuration[3];
         const ResultCode result = GetKeyDeviceInfo(vendorId, productId, manufacturer, product, serial, scsiVendor,
                                                    scsiProduct, scsiRevision, configuration);
         EXPECT_STREQ(vendorId, "1b0a");
         EXPECT_STREQ(productId, "0c03");
         EXPECT_STREQ(configuration, "05");
         return result;
       },
       kResultSuccess, {In("ReadInfoBlock", 512)}},
      {"SetKeyDeviceInfo",
       [](Call& c) {
         char serial[15] = "12345678901234";
         const ResultCode result = SetKeyDeviceInfo("1b0a", "0c03", "m", "p", serial, "v", "p", "r", "");
         EXPECT_EQ(Data(c.key.InfoBlock().begin(), c.key.InfoBlock().begin() + 4), (Data{0x0A, 0x1B, 0x03, 0x0C}));
         return result;
       },
       kResultSuccess, {Command("WriteInfoBlock", "out", 512, {})}},
      {"SetKeySerialNumber",
       [](Call& c) {
         c.key.SetInfoBlock(Block(kInfoBlock));
         return SetKeySerialNumber("12345678901234567890", 20);
       },
       kResultSuccess,
       {In("ReadInfoBlock", 512),
        Out("WriteInfoBlock", Overwrite(Overwrite(kInfoBlock, 48, {14}), 50, Text("12345678901234")))}},
      {"GetKeySerialNumber",
       [](Call& c) {
         c.key.SetInfoBlock(Block(Overwrite(Overwrite(kInfoBlock, 48, {10}), 50, Text("0123456789"))));
         char serial[14];
         std::memset(serial, '#', sizeof serial);
         const ResultCode result = GetKeySerialNumber(serial);
         EXPECT_EQ(std::string(serial, 14), std::string("0123456789") + std::string(4, '\0'));
         return result;
       },
       kResultSuccess, {In("ReadInfoBlock", 512)}},
      {"GetKeyUsbIdTexts",
       [](Call& c) {
         c.key.SetInfoBlock(Block(Overwrite(kInfoBlock, 0, {0xC0, 0x03, 0x05, 0x00})));
         char vendorId[4], productId[4];
         const ResultCode result = GetKeyUsbIdTexts(vendorId, productId);
         EXPECT_EQ(std::string(vendorId, 4), "03c0");
         EXPECT_EQ(std::string(productId, 4), "0005");
         return result;
       },
       kResultSuccess, {In("ReadInfoBlock", 512)}},
      {"TestKeyInfoFlag_Set",
       [](Call& c) {
         c.key.SetInfoBlock(Block(Overwrite(kInfoBlock, 76, {0x80})));
         return TestKeyInfoFlag();
       },
       kResultInfoFlagSet, {In("ReadInfoBlock", 512)}},
      {"TestKeyInfoFlag_Clear",
       [](Call& c) {
         c.key.SetInfoBlock(Block(Overwrite(kInfoBlock, 76, {0x7F})));
         return TestKeyInfoFlag();
       },
       kResultInfoFlagClear, {In("ReadInfoBlock", 512)}},
      {"ReadKeyInfoBlock",
       [](Call& c) {
         c.key.SetInfoBlock(Block(kInfoBlock));
         Data block(512, 0xEE);
         const ResultCode result = ReadKeyInfoBlock(block.data());
         EXPECT_EQ(block, kInfoBlock);
         return result;
       },
       kResultSuccess, {In("ReadInfoBlock", 512)}},
  };
  return rows;
}

}  // namespace

class EntryFunctionTest : public LibraryTest, public ::testing::WithParamInterface<std::tuple<Row, Transport>> {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    host.administrator = GetTransport() == Transport::kPassThrough;
    key = &host.AttachKey('E', emulated::KeyConfig{}, 0);
    // The first entry call makes the device object and identifies the key; the row starts after.
    int megabytes = 0;
    ASSERT_EQ(GetKeyCapacity(&megabytes), kResultSuccess);
    ASSERT_EQ(TransportKind, GetTransport() == Transport::kPassThrough ? kTransportPassThrough
                                                                        : kTransportHelperDriver);
    key->ClearLog();
    key->SetLogPayloads(true);
    mark = host.trace.Events().size();
  }

  const Row& GetRow() const { return std::get<0>(GetParam()); }
  Transport GetTransport() const { return std::get<1>(GetParam()); }

  // A command addressed to the key (its letter, its helper-driver index).
  bool ForTheKey(const TraceEvent& e) const {
    return e.kind == TraceKind::kPassThrough ? e.letter == 'E' : e.helperIndex == 0;
  }

  emulated::EmulatedKey* key = nullptr;
  std::size_t mark = 0;
};

TEST_P(EntryFunctionTest, KeyReceivesTheRowsCommands) {
  const Row& row = GetRow();
  Call call{host, *key};
  EXPECT_EQ(row.call(call), row.result);

  std::vector<const Step*> expected;
  std::vector<std::string> expectedLines;
  for (const Step& step : row.story) {
    if (step.only && *step.only != GetTransport()) continue;
    expected.push_back(&step);
    expectedLines.push_back(Line(step));
  }

  // The story as it happened: commands the key decoded, commands lost on the way, pauses, queries.
  const std::vector<KeyCommandRecord>& log = key->Log();
  std::vector<std::string> lines;
  std::vector<std::pair<const TraceEvent*, const KeyCommandRecord*>> commands;  // one per line
  std::size_t decoded = 0;
  const auto& events = host.trace.Events();
  for (std::size_t i = mark; i < events.size(); ++i) {
    const TraceEvent& e = events[i];
    if (e.kind == TraceKind::kPause) {
      lines.push_back("pause " + std::to_string(e.milliseconds));
      commands.emplace_back();
    } else if (e.kind == TraceKind::kFreeSpace) {
      lines.push_back("free " + e.text);
      commands.emplace_back();
    } else if ((e.kind == TraceKind::kPassThrough || e.kind == TraceKind::kHelperCommand) && ForTheKey(e)) {
      if (!e.delivered) {
        char subcode[8];
        std::snprintf(subcode, sizeof subcode, "%02X", e.cdb.size() > 3 ? e.cdb[3] : 0);
        lines.push_back(std::string("never reached the key: ") + (e.cdb[0] == 0xAD ? "AD " : "?? ") + subcode);
        commands.emplace_back();
        continue;
      }
      ASSERT_LT(decoded, log.size()) << "a command reached the key but is not in its log";
      const KeyCommandRecord& r = log[decoded++];
      // Through the helper driver a command without data travels flagged as data in.
      const bool noData = r.length == 0 && (GetTransport() == Transport::kHelperDriver || !r.dataIn);
      const std::string phase = noData ? "none" : r.dataIn ? "in" : "out";
      lines.push_back(CommandLine(r.name, phase, r.length, r.fields, r.status != emulated::kStatusGood));
      commands.emplace_back(&e, &r);
    }
  }
  EXPECT_EQ(decoded, log.size());
  ASSERT_EQ(lines, expectedLines);

  std::uint32_t elapsed = 0;  // on the virtual clock, since the fixture's second began
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto [event, record] = commands[i];
    if (expected[i]->kind == Step::Kind::kPause) elapsed += expected[i]->milliseconds;
    if (event == nullptr) continue;
    // Within the fixture's second, every byte a vendor command leaves unassigned carries the
    // filler drawn for that second; past it the filler is another.
    if (elapsed < 1000 && event->cdb.size() >= 10 && event->cdb[0] == 0xAD) {
      const std::set<std::size_t> assigned = ParameterBytes(event->cdb[3], record->dataIn);
      for (std::size_t position = 4; position < 10; ++position) {
        if (assigned.count(position) != 0) continue;
        EXPECT_EQ(event->cdb[position], kFiller[position - 4]) << lines[i] << ", unassigned block byte " << position;
      }
    }
    if (expected[i]->dataOut) {
      EXPECT_EQ(record->dataOut, *expected[i]->dataOut) << lines[i];
    }
    for (const auto& [position, value] : expected[i]->blockBytes) {
      ASSERT_LT(position, event->cdb.size());
      EXPECT_EQ(event->cdb[position], value) << lines[i] << ", block byte " << position;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EntryFunctions, EntryFunctionTest,
    ::testing::Combine(::testing::ValuesIn(Rows()),
                       ::testing::Values(Transport::kPassThrough, Transport::kHelperDriver)),
    [](const ::testing::TestParamInfo<EntryFunctionTest::ParamType>& info) {
      return std::get<0>(info.param).name +
             (std::get<1>(info.param) == Transport::kPassThrough ? "_PassThrough" : "_HelperDriver");
    });
