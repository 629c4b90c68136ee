#include "fat/sector_device.h"

#include <algorithm>
#include <utility>

#include "fat/fat_layout.h"

namespace emulated {

using fat_layout::kSectorSize;

MemorySectorDevice::MemorySectorDevice(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}

MemorySectorDevice::MemorySectorDevice(const std::uint8_t* data, std::size_t size)
    : m_bytes(data, data + size) {}

std::uint64_t MemorySectorDevice::SectorCount() const { return m_bytes.size() / kSectorSize; }

bool MemorySectorDevice::InRange(std::uint64_t lba, std::uint32_t count) const {
  return lba <= SectorCount() && count <= SectorCount() - lba;
}

bool MemorySectorDevice::ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) {
  if (!InRange(lba, count)) return false;
  std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(lba * kSectorSize),
              std::size_t{count} * kSectorSize, out);
  return true;
}

bool MemorySectorDevice::WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) {
  if (m_bWriteProtected || !InRange(lba, count)) return false;
  std::copy_n(in, std::size_t{count} * kSectorSize,
              m_bytes.begin() + static_cast<std::ptrdiff_t>(lba * kSectorSize));
  return true;
}

}  // namespace emulated
