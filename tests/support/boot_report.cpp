#include "boot_report.h"

#include <array>
#include <cstdio>
#include <fstream>

#include "host/byte_order.h"

namespace test_support {
namespace {

using Sector = std::array<unsigned char, 512>;

bool ReadBootSector(const std::string& imagePath, std::uint64_t bootSector, Sector& sector) {
  std::ifstream in(imagePath, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(bootSector * 512));
  in.read(reinterpret_cast<char*>(sector.data()), static_cast<std::streamsize>(sector.size()));
  return static_cast<bool>(in);
}

unsigned Word(const Sector& s, std::size_t at) { return GetLittleEndian16(s.data() + at); }

std::uint32_t Dword(const Sector& s, std::size_t at) { return GetLittleEndian32(s.data() + at); }

}  // namespace

std::string DosHandOverLine(const std::string& imagePath, std::uint64_t bootSector,
                            unsigned drive) {
  Sector s{};
  if (!ReadBootSector(imagePath, bootSector, s)) return {};
  const unsigned bytesPerSector = Word(s, 0x0B);
  const std::uint32_t rootSectors = (Word(s, 0x11) * 32 + bytesPerSector - 1) / bytesPerSector;
  const std::uint32_t dataArea =
      Dword(s, 0x1C) + Word(s, 0x0E) + s[0x10] * Word(s, 0x16) + rootSectors;
  char line[80];
  std::snprintf(line, sizeof line, "DOS hand-over: drive %02X, media %02X, data area at sector %08X",
                drive, s[0x15], static_cast<unsigned>(dataArea));
  return line;
}

unsigned SectorsPerCluster(const std::string& imagePath, std::uint64_t bootSector) {
  Sector s{};
  return ReadBootSector(imagePath, bootSector, s) ? s[0x0D] : 0;
}

}  // namespace test_support
