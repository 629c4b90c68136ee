// What the boot programs must carry at fixed offsets, and that what the build embeds is, byte
// for byte, what was assembled or supplied.
#include "boot/boot_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The NUL-terminated text at offset; empty when no terminator follows within the program.
std::string TextAt(std::span<const std::uint8_t> program, std::size_t offset) {
  const auto begin = program.begin() + offset;
  const auto end = std::find(begin, program.end(), 0);
  if (end == program.end()) return {};
  return std::string(begin, end);
}

bool ZeroFrom(std::span<const std::uint8_t> program, std::size_t offset) {
  return std::all_of(program.begin() + offset, program.end(), [](auto b) { return b == 0; });
}

std::vector<std::uint8_t> Bytes(std::span<const std::uint8_t> span) {
  return {span.begin(), span.end()};
}

TEST(Mbr63BootProgram, KeepsItsTextsAndWorkingByteAtTheirOffsets) {
  const auto program = Mbr63BootProgram();
  EXPECT_EQ(TextAt(program, 0x09B), "Invalid partition table");
  EXPECT_EQ(TextAt(program, 0x0B3), "Error loading operating system");
  EXPECT_EQ(TextAt(program, 0x0D2), "Missing operating system");
  EXPECT_EQ(program[0x0EB], 0) << "the drive choice is stored as 0";
  EXPECT_TRUE(ZeroFrom(program, 0x0EC));
}

TEST(Mbr32BootProgram, KeepsItsTextsAtTheirOffsetsAndEndsBy0x18A) {
  const auto program = Mbr32BootProgram();
  EXPECT_EQ(TextAt(program, 0x10F), "Invalid partition table");
  EXPECT_EQ(TextAt(program, 0x127), "Error loading operating system");
  EXPECT_EQ(TextAt(program, 0x146), "Missing operating system");
  EXPECT_TRUE(ZeroFrom(program, 0x18A));
}

TEST(FatBootProgram, KeepsItsMessageAndTheSystemFileNamesAtTheirOffsets) {
  // Offsets within the sector; the program starts at 0x3E.
  constexpr std::size_t kStart = 0x3E;
  const auto program = FatBootProgram();
  EXPECT_EQ(TextAt(program, 0x19E - kStart),
            "\r\nNon-System disk or disk error\r\nReplace and press any key when ready\r\n");
  EXPECT_EQ(std::string(program.begin() + 0x1E6 - kStart, program.begin() + 0x1F1 - kStart),
            "IBMBIO  COM");
  EXPECT_EQ(std::string(program.begin() + 0x1F1 - kStart, program.begin() + 0x1FC - kStart),
            "IBMDOS  COM");
}

TEST(EmbeddedImages, AreTheAssembledBootPrograms) {
  const std::array<std::string, 3> files = {STELVARION_BOOT_PROGRAM_FILES};
  EXPECT_EQ(Bytes(Mbr63BootProgram()), ReadFile(files[0]));
  EXPECT_EQ(Bytes(Mbr32BootProgram()), ReadFile(files[1]));
  EXPECT_EQ(Bytes(FatBootProgram()), ReadFile(files[2]));
}

TEST(EmbeddedImages, AreTheBuildsSystemFilesInCopyOrder) {
  const std::array<std::string, kSystemFileCount> files = {STELVARION_SYSTEM_FILE_IMAGES};
  const auto images = SystemFileImages();
  EXPECT_EQ(images[0].name, "IBMBIO.COM");
  EXPECT_EQ(images[1].name, "IBMDOS.COM");
  EXPECT_EQ(images[2].name, "COMMAND.COM");
  for (std::size_t i = 0; i < kSystemFileCount; ++i) {
    EXPECT_FALSE(images[i].bytes.empty()) << images[i].name;
    EXPECT_EQ(Bytes(images[i].bytes), ReadFile(files[i])) << images[i].name;
  }
}

}  // namespace
