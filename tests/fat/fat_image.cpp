#include "tests/fat/fat_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include <sys/wait.h>
#include <unistd.h>

namespace fat_test {

const Layout kLayouts[4] = {
    {"KeyFat16", 16, 143360, 32, true},  // 70 MB: enough 32-sector clusters for FAT16
    {"KeyFat12", 12, 32768, 32, true},   // 16 MB
    {"Floppy12", 12, 2880, 0, false},
    {"Super16", 16, 40960, 4, false},
};

FileSectorDevice::FileSectorDevice(const std::string& path)
    : m_file(path, std::ios::in | std::ios::out | std::ios::binary) {
  m_file.seekg(0, std::ios::end);
  m_sectors = static_cast<std::uint64_t>(m_file.tellg()) / 512;
}

bool FileSectorDevice::ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) {
  if (lba > m_sectors || count > m_sectors - lba) return false;
  m_file.seekg(static_cast<std::streamoff>(lba * 512));
  m_file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count) * 512);
  return static_cast<bool>(m_file);
}

bool FileSectorDevice::WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) {
  if (lba > m_sectors || count > m_sectors - lba) return false;
  m_file.seekp(static_cast<std::streamoff>(lba * 512));
  m_file.write(reinterpret_cast<const char*>(in), static_cast<std::streamsize>(count) * 512);
  m_file.flush();
  return static_cast<bool>(m_file);
}

ToolResult RunTool(const std::string& command) {
  ToolResult result;
  const std::string line = "PATH=/usr/sbin:/sbin:$PATH MTOOLS_SKIP_CHECK=1 " + command + " 2>&1";
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

void RequireTools() {
  for (const char* tool : {"mkfs.fat", "fsck.fat", "mdir", "mtype", "mcopy", "mattrib", "mlabel", "mdel"}) {
    if (RunTool(std::string("command -v ") + tool).status != 0) {
      FAIL() << tool << " is missing (Debian packages dosfstools and mtools)";
    }
  }
}

Image::Image(const Layout& layout) : m_layout(layout) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = "fat_" + std::to_string(getpid()) + "_" + test->test_suite_name() + "_" + test->name() +
                     "_" + layout.name + ".img";
  for (char& c : name) c = c == '/' ? '_' : c;
  m_path = testing::TempDir() + name;
  std::filesystem::remove(m_path);
  { std::ofstream(m_path, std::ios::binary); }
  std::filesystem::resize_file(m_path, std::uint64_t{layout.diskSectors} * 512);
  const std::uint32_t start = layout.partitioned ? 63 : 0;
  m_offset = std::uint64_t{start} * 512;
  std::string options = "-F " + std::to_string(layout.fatBits) + " -i 2116D518";
  if (layout.sectorsPerCluster != 0) {
    options += " -a -R 1 -f 2 -r 512 -s " + std::to_string(layout.sectorsPerCluster);
  }
  if (layout.partitioned) {
    std::vector<std::uint8_t> mbr(512, 0);
    const std::uint32_t length = layout.diskSectors - start;
    mbr[0x1BE] = 0x80;
    mbr[0x1BE + 4] = layout.fatBits == 12 ? 0x01 : 0x06;
    for (int i = 0; i < 4; ++i) {
      mbr[0x1BE + 8 + i] = static_cast<std::uint8_t>(start >> (8 * i));
      mbr[0x1BE + 12 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    std::fstream(m_path, std::ios::in | std::ios::out | std::ios::binary)
        .write(reinterpret_cast<const char*>(mbr.data()), 512);
    options += " -h 63 --offset=63";
  }
  const ToolResult made = RunTool("mkfs.fat " + options + " " + m_path + " " +
                                  std::to_string((layout.diskSectors - start) / 2));
  EXPECT_EQ(made.status, 0) << made.output;
}

Image::~Image() {
  for (const char* suffix : {"", ".volume", ".src"}) std::filesystem::remove(m_path + suffix);
}

std::string Image::Mtools(const std::string& command, const std::string& args) const {
  const std::string drive = m_offset != 0 ? m_path + "@@" + std::to_string(m_offset) : m_path;
  return RunTool(command + " -i '" + drive + "' " + args).output;
}

ToolResult Image::Fsck(bool verbose) const {
  std::string volume = m_path;
  if (m_offset != 0) {
    volume += ".volume";
    const std::vector<std::uint8_t> bytes = Bytes();
    std::ofstream(volume, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data() + m_offset),
               static_cast<std::streamsize>(bytes.size() - m_offset));
  }
  return RunTool(std::string("fsck.fat -n ") + (verbose ? "-v " : "") + volume);
}

std::uint64_t Image::MdirBytesFree() const {
  const std::string listing = Mtools("mdir", "-a ::");
  const std::size_t at = listing.find("bytes free");
  if (at == std::string::npos) return ~std::uint64_t{0};
  std::string digits;
  for (std::size_t i = listing.rfind('\n', at) + 1; i < at; ++i) {
    if (listing[i] >= '0' && listing[i] <= '9') digits += listing[i];
  }
  return digits.empty() ? ~std::uint64_t{0} : std::stoull(digits);
}

std::vector<std::uint8_t> Image::Bytes() const { return ReadAll(m_path); }

std::vector<std::uint8_t> Image::VolumeSector(std::uint32_t sector) const {
  const std::vector<std::uint8_t> bytes = Bytes();
  const auto* first = bytes.data() + m_offset + std::uint64_t{sector} * 512;
  return {first, first + 512};
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.tellg()));
  file.seekg(0);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

}  // namespace fat_test
