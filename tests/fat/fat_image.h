// Volumes made by mkfs.fat and judged by mtools and fsck.fat, for the FAT layer's tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "fat/sector_device.h"

namespace fat_test {

// The image file itself, so that the tools see each write at once.
class FileSectorDevice final : public emulated::SectorDevice {
 public:
  explicit FileSectorDevice(const std::string& path);
  bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override;
  bool WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override;
  std::uint64_t SectorCount() const override { return m_sectors; }

 private:
  std::fstream m_file;
  std::uint64_t m_sectors = 0;
};

struct Layout {
  const char* name;
  int fatBits;
  std::uint32_t diskSectors;
  std::uint32_t sectorsPerCluster;  // 0: as mkfs.fat chooses
  bool partitioned;                 // MBR with partition 1 at sector 63, else a volume at sector 0
};

inline void PrintTo(const Layout& layout, std::ostream* os) { *os << layout.name; }

// The layouts the key carries (partition at 63, FAT16 with 32-sector clusters, small FAT12)
// and the superfloppy form Windows also mounts.
extern const Layout kLayouts[4];

// Output and exit status of a shell command, stderr included.
struct ToolResult {
  int status = -1;
  std::string output;
};
ToolResult RunTool(const std::string& command);

// Fails the current test when one of the oracle programs is missing.
void RequireTools();

class Image {
 public:
  // Named after the running test and process, so that parallel runs never share a file.
  explicit Image(const Layout& layout);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  const std::string& path() const { return m_path; }
  // "::" drive argument for mtools: the file with the partition's byte offset.
  std::string Mtools(const std::string& command, const std::string& args) const;
  ToolResult Fsck(bool verbose = false) const;  // fsck.fat -n on the volume alone
  std::uint64_t MdirBytesFree() const;
  std::vector<std::uint8_t> Bytes() const;
  std::vector<std::uint8_t> VolumeSector(std::uint32_t sector) const;

 private:
  Layout m_layout;
  std::string m_path;
  std::uint64_t m_offset = 0;
};

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed);
std::vector<std::uint8_t> ReadAll(const std::string& path);

}  // namespace fat_test
