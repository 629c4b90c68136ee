#include "host/emulated/flash_image.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace emulated {

bool MemoryFlashImage::Read(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) {
  if (!InRange(lba, count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto it = m_sectors.find(lba + i);
    if (it == m_sectors.end()) {
      std::memset(out + std::size_t{i} * kSectorSize, 0, kSectorSize);
    } else {
      std::memcpy(out + std::size_t{i} * kSectorSize, it->second.data(), kSectorSize);
    }
  }
  return true;
}

bool MemoryFlashImage::Write(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) {
  if (!InRange(lba, count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::memcpy(m_sectors[lba + i].data(), in + std::size_t{i} * kSectorSize, kSectorSize);
  }
  return true;
}

FileFlashImage::FileFlashImage(const std::string& path, std::uint64_t sectorCount)
    : m_sectorCount(sectorCount) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::exists(path, error)) {
    std::ofstream create(path, std::ios::binary);
    if (!create) throw std::runtime_error("cannot create the key image " + path);
  }
  const std::uint64_t wanted = sectorCount * kSectorSize;
  const std::uint64_t size = fs::file_size(path, error);
  if (error) throw std::runtime_error("cannot read the size of the key image " + path);
  // Growing with resize_file leaves a hole: an image of gigabytes costs only what is written.
  if (size < wanted) {
    fs::resize_file(path, wanted, error);
    if (error) throw std::runtime_error("cannot grow the key image " + path + ": " + error.message());
  }
  m_file.open(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!m_file) throw std::runtime_error("cannot open the key image " + path);
}

bool FileFlashImage::Read(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) {
  if (!InRange(lba, count)) return false;
  m_file.clear();
  m_file.seekg(static_cast<std::streamoff>(lba * kSectorSize));
  m_file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count) * kSectorSize);
  return static_cast<bool>(m_file);
}

bool FileFlashImage::Write(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) {
  if (!InRange(lba, count)) return false;
  m_file.clear();
  m_file.seekp(static_cast<std::streamoff>(lba * kSectorSize));
  m_file.write(reinterpret_cast<const char*>(in), static_cast<std::streamsize>(count) * kSectorSize);
  m_file.flush();
  return static_cast<bool>(m_file);
}

}  // namespace emulated
