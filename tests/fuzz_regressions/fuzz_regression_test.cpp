// The fuzz targets replayed by the ordinary test suite: every saved input a fuzzer once failed
// on, and every seed, runs through the same body the fuzzer runs. A body aborts when one of its
// checks fails, which fails the test.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "tests/fuzz_regressions/saved_inputs.h"

namespace {

struct ReplayCase {
  std::string target;
  std::string name;
  std::vector<std::uint8_t> bytes;
  bool parsed = true;
};

// How a case reads in test listings.
void PrintTo(const ReplayCase& c, std::ostream* out) {
  *out << c.target << "/" << c.name << " (" << c.bytes.size() << " bytes)";
}

std::vector<ReplayCase> AllCases() {
  std::vector<ReplayCase> cases;
  for (const SavedInput& saved : SavedInputs()) {
    ReplayCase c{saved.target, std::string("saved_") + saved.name, {}, true};
    c.parsed = fuzz::ParseHexText(saved.hexText, &c.bytes);
    cases.push_back(std::move(c));
  }
  for (const fuzz::FuzzTarget& target : fuzz::AllTargets()) {
    int index = 0;
    for (std::vector<std::uint8_t>& seed : target.seeds()) {
      cases.push_back(ReplayCase{target.name, "seed_" + std::to_string(index++), std::move(seed), true});
    }
  }
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<ReplayCase>& info) {
  std::string name = info.param.target + "_" + info.param.name;
  for (char& c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '_';
  }
  return name;
}

class FuzzReplay : public ::testing::TestWithParam<ReplayCase> {};

TEST_P(FuzzReplay, PassesEveryCheck) {
  const ReplayCase& c = GetParam();
  const fuzz::FuzzTarget* target = fuzz::FindTarget(c.target);
  ASSERT_NE(target, nullptr) << "tests/fuzz_regressions/" << c.target << " names no fuzz target";
  ASSERT_TRUE(c.parsed) << c.name << " is not hexadecimal text";
  EXPECT_LE(c.bytes.size(), target->maxLength);
  target->run(c.bytes.data(), c.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzReplay, ::testing::ValuesIn(AllCases()), CaseName);

TEST(FuzzTargets, EachHasSeeds) {
  for (const fuzz::FuzzTarget& target : fuzz::AllTargets()) {
    EXPECT_FALSE(target.seeds().empty()) << target.name;
    EXPECT_EQ(fuzz::FindTarget(target.name), &target);
  }
  EXPECT_EQ(fuzz::FindTarget("no_such_target"), nullptr);
}

TEST(FuzzSupport, HexTextRoundTrips) {
  const std::vector<std::uint8_t> bytes = {0x00, 0xFF, 0x5A, 0xA5, 0x10};
  const std::string text = fuzz::FormatHexText(bytes, "found by a test\nsecond line");
  EXPECT_EQ(text, "# found by a test\n# second line\n00 ff 5a a5 10\n");
  std::vector<std::uint8_t> parsed;
  ASSERT_TRUE(fuzz::ParseHexText(text, &parsed));
  EXPECT_EQ(parsed, bytes);
  EXPECT_TRUE(fuzz::ParseHexText("0A0b # comment ff\n  C0", &parsed));
  EXPECT_EQ(parsed, (std::vector<std::uint8_t>{0x0A, 0x0B, 0xC0}));
  EXPECT_FALSE(fuzz::ParseHexText("0g", &parsed));
  EXPECT_FALSE(fuzz::ParseHexText("abc", &parsed));  // an odd digit out
}

TEST(FuzzSupport, InputReadsBackWhatTheWriterWrote) {
  fuzz::InputWriter w;
  w.Byte(7).U16(0xBEEF).U32(0x01020304).Range(10, 20, 17).Range(0, 1000, 999).Range(0, 0x20000, 0x1FFFF).Text("abc", 40);
  fuzz::FuzzInput in(w.Data().data(), w.Data().size());
  EXPECT_EQ(in.Byte(), 7);
  EXPECT_EQ(in.U16(), 0xBEEF);
  EXPECT_EQ(in.U32(), 0x01020304u);
  EXPECT_EQ(in.Range(10, 20), 17u);
  EXPECT_EQ(in.Range(0, 1000), 999u);
  EXPECT_EQ(in.Range(0, 0x20000), 0x1FFFFu);
  EXPECT_EQ(in.Text(40), "abc");
  EXPECT_TRUE(in.Empty());
  EXPECT_EQ(in.U32(), 0u);  // past the end: zeros
}

using FuzzSupportDeathTest = ::testing::Test;

// Under AddressSanitizer the poisoned canary stops the write itself; otherwise the check finds it.
#if defined(__SANITIZE_ADDRESS__)
#define STELVARION_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STELVARION_TEST_ASAN 1
#endif
#endif
#if defined(STELVARION_TEST_ASAN)
constexpr char kOverflowReport[] = "use-after-poison";
#else
constexpr char kOverflowReport[] = "five bytes";
#endif

TEST_F(FuzzSupportDeathTest, CanaryCatchesAWritePastTheEnd) {
  EXPECT_DEATH(
      {
        fuzz::GuardedBuffer buffer(5);
        volatile std::uint8_t* p = buffer.data();
        p[5] = 0;  // one past the documented size
        buffer.CheckIntact("five bytes");
      },
      kOverflowReport);
}

TEST_F(FuzzSupportDeathTest, FailedCheckAborts) {
  EXPECT_DEATH(FUZZ_CHECK(1 + 1 == 3, "arithmetic"), "arithmetic");
}

}  // namespace
