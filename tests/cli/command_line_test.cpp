// The front ends' command line and label text, below the built programs: the one-line form the
// emulated Windows program reads, and the code-page table judged against iconv.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "frontend/key_options.h"
#include "cli/label_text.h"
#include "tests/support/shell_command.h"

namespace {

struct Parsed {
  std::string refused;
  std::optional<std::string> label;
  bool yes = false;
  EmulatedKeyOptions options;
};

Parsed ParseLine(const std::string& line) {
  Parsed parsed;
  KeyOptionTexts texts;
  const auto app = NewCommandLine("test");
  app->add_flag("--yes", parsed.yes);
  AllowEmptyValue(app->add_option("--label", parsed.label));
  AddKeyOptions(*app, parsed.options, texts);
  parsed.refused = ParseCommandLine(*app, line);
  return parsed;
}

// The line keeps its empty phrases, which CLI11's own line parse drops.
TEST(CommandLineText, EmptyValuesMeanWhatTheyMeanOnTheCommandLine) {
  Parsed p = ParseLine("--label= --yes --image k.img");
  EXPECT_EQ(p.refused, "");
  EXPECT_EQ(p.label, std::string());
  EXPECT_TRUE(p.yes);
  EXPECT_EQ(p.options.key.imagePath, "k.img");

  p = ParseLine("--label \"\" --image=\"C:\\keys\\my key.img\"");
  EXPECT_EQ(p.refused, "");
  EXPECT_EQ(p.label, std::string());
  EXPECT_EQ(p.options.key.imagePath, "C:\\keys\\my key.img");

  EXPECT_EQ(ParseLine("--label=\"A B\"").label, std::string("A B"));
  EXPECT_EQ(ParseLine("--image \"\" --yes").refused, "--image needs a value");
  EXPECT_EQ(ParseLine("--image= --yes").refused, "--image needs a value");
  EXPECT_EQ(ParseLine("--trace ''").refused, "--trace needs a value");
  EXPECT_EQ(ParseLine("--yes=1").refused, "--yes takes no value");
  // A value that looks like an option is still the value of the option before it.
  p = ParseLine("--label --yes=1");
  EXPECT_EQ(p.refused, "");
  EXPECT_EQ(p.label, std::string("--yes=1"));
  EXPECT_FALSE(p.yes);
}

// Every byte the code page defines, as iconv converts it, comes back as that byte, and shows as
// iconv's text.
TEST(LabelText, CodePageAgreesWithIconv) {
  ASSERT_TRUE(test_support::ToolAvailable("iconv")) << "iconv is missing (Debian package libc-bin)";
  std::string bytes;
  for (int b = 0x21; b <= 0xFF; ++b) {
    if (b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;  // not defined
    bytes += static_cast<char>(b);
  }
  std::string quoted;
  for (const char c : bytes) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
    quoted += octal;
  }
  const test_support::CommandResult iconv = test_support::RunCommand("printf '" + quoted + "' | iconv -f CP1252 -t UTF-8");
  ASSERT_EQ(iconv.exitCode, 0) << iconv.output;
  EXPECT_EQ(Cp1252ToUtf8(bytes), iconv.output);
  // Ten characters at a time: within the label's limit.
  std::size_t at = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 10) {
    const std::string chunk = bytes.substr(i, 10);
    const std::string utf8 = Cp1252ToUtf8(chunk);
    ASSERT_EQ(iconv.output.compare(at, utf8.size(), utf8), 0) << i;
    at += utf8.size();
    std::string stored;
    EXPECT_EQ(LabelFromTerminal(utf8, &stored), "") << i;
    EXPECT_EQ(stored, chunk) << i;
  }
}

TEST(LabelText, UndefinedAndOutsideCharactersAreNamed) {
  std::string stored = "old";
  EXPECT_EQ(LabelFromTerminal("\u0081", &stored), "a volume label cannot hold control characters (U+0081 is character 1)");
  EXPECT_EQ(LabelFromTerminal("A\u20AC\u0153\U0001F600", &stored),
            "a volume label is written in the Windows code page 1252, which has no \U0001F600 (U+1F600)");
  EXPECT_EQ(stored, "");
  EXPECT_EQ(LabelFromTerminal("\xED\xA0\x80", &stored), "a volume label is read as UTF-8, and this one is not UTF-8");
  EXPECT_EQ(LabelFromTerminal("\xC0\xA1", &stored), "a volume label is read as UTF-8, and this one is not UTF-8");
  EXPECT_EQ(LabelFromTerminal("", &stored), "");
  EXPECT_EQ(stored, "");
  EXPECT_EQ(Cp1252ToUtf8("\x81"), "\uFFFD");
}

}  // namespace
