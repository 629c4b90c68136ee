#include "key/flash_image.h"

#include <algorithm>
#include <cstring>

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
    : FileFlashImage(std::make_unique<ImageFile>(path), sectorCount) {}

FileFlashImage::FileFlashImage(std::unique_ptr<ImageFile> file, std::uint64_t sectorCount)
    : m_sectorCount(sectorCount), m_file(std::move(file)) {
  m_file->GrowTo(sectorCount * kSectorSize);
}

bool FileFlashImage::Read(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) {
  if (!InRange(lba, count)) return false;
  return m_file->ReadAt(lba * kSectorSize, std::uint64_t{count} * kSectorSize, out);
}

bool FileFlashImage::Write(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) {
  if (!InRange(lba, count)) return false;
  return m_file->WriteAt(lba * kSectorSize, std::uint64_t{count} * kSectorSize, in);
}

}  // namespace emulated
