// A device of 512-byte sectors: the key's flash image, or a byte buffer in tests and fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emulated {

class SectorDevice {
 public:
  virtual ~SectorDevice() = default;

  // Each transfers whole 512-byte sectors; false when any of them lies beyond the device or the
  // medium fails.
  virtual bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) = 0;
  virtual bool WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) = 0;
  virtual std::uint64_t SectorCount() const = 0;

  // A write-protected medium answers ERROR_WRITE_PROTECT rather than a write fault, as Windows
  // learns it from the device before it tries to write.
  virtual bool IsWriteProtected() const { return false; }
};

// The whole medium in memory. A trailing partial sector is not part of the device.
class MemorySectorDevice final : public SectorDevice {
 public:
  explicit MemorySectorDevice(std::vector<std::uint8_t> bytes);
  MemorySectorDevice(const std::uint8_t* data, std::size_t size);

  bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override;
  bool WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override;
  std::uint64_t SectorCount() const override;
  bool IsWriteProtected() const override { return m_bWriteProtected; }

  void SetWriteProtected(bool writeProtected) { m_bWriteProtected = writeProtected; }
  const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

 private:
  bool InRange(std::uint64_t lba, std::uint32_t count) const;

  std::vector<std::uint8_t> m_bytes;
  bool m_bWriteProtected = false;
};

}  // namespace emulated
