// The key's flash contents: 512-byte sectors kept in memory or in a sparse image file.
// Sectors never written read as zeros.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "key/image_file.h"

namespace emulated {

inline constexpr std::uint32_t kSectorSize = 512;
using Sector = std::array<std::uint8_t, kSectorSize>;

class FlashImage {
 public:
  virtual ~FlashImage() = default;
  virtual std::uint64_t SectorCount() const = 0;
  // False when the range lies outside the image or the backing store fails.
  virtual bool Read(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) = 0;
  virtual bool Write(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) = 0;
  // Why the backing store last failed, with the system's reason; empty when it has not.
  virtual std::string FailureReason() const { return {}; }

  bool InRange(std::uint64_t lba, std::uint32_t count) const {
    return lba <= SectorCount() && count <= SectorCount() - lba;
  }
};

class MemoryFlashImage : public FlashImage {
 public:
  explicit MemoryFlashImage(std::uint64_t sectorCount) : m_sectorCount(sectorCount) {}
  std::uint64_t SectorCount() const override { return m_sectorCount; }
  bool Read(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override;
  bool Write(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override;
  // Sectors that were written at least once, for tests that look at what changed.
  const std::map<std::uint64_t, Sector>& WrittenSectors() const { return m_sectors; }

 private:
  std::uint64_t m_sectorCount;
  std::map<std::uint64_t, Sector> m_sectors;
};

class FileFlashImage : public FlashImage {
 public:
  // Opens and locks the image, creating it sparse when missing and growing it to sectorCount
  // sectors. Throws std::runtime_error with a readable message when the file cannot be used
  // (ImageInUse when another run holds it).
  FileFlashImage(const std::string& path, std::uint64_t sectorCount);
  // Over a file already opened and locked, grown to sectorCount sectors.
  FileFlashImage(std::unique_ptr<ImageFile> file, std::uint64_t sectorCount);
  std::uint64_t SectorCount() const override { return m_sectorCount; }
  bool Read(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override;
  bool Write(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override;
  std::string FailureReason() const override { return m_file->LastFailure(); }

 private:
  std::uint64_t m_sectorCount;
  std::unique_ptr<ImageFile> m_file;
};

}  // namespace emulated
