#include "host/emulated/visible_sectors.h"

#include "key/emulated_key.h"

namespace emulated {
namespace {

// A window of a flash image, addressed from its first sector.
class FlashWindowSectors : public SectorDevice {
 public:
  FlashWindowSectors(FlashImage& flash, std::uint64_t base, std::uint64_t sectors, bool writeProtected)
      : m_flash(flash), m_base(base), m_sectors(sectors), m_writeProtected(writeProtected) {}

  bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override {
    return InWindow(lba, count) && m_flash.Read(m_base + lba, count, out);
  }
  bool WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override {
    return !m_writeProtected && InWindow(lba, count) && m_flash.Write(m_base + lba, count, in);
  }
  std::uint64_t SectorCount() const override { return m_sectors; }
  bool IsWriteProtected() const override { return m_writeProtected; }

 private:
  bool InWindow(std::uint64_t lba, std::uint32_t count) const { return lba <= m_sectors && count <= m_sectors - lba; }

  FlashImage& m_flash;
  std::uint64_t m_base;
  std::uint64_t m_sectors;
  bool m_writeProtected;
};

}  // namespace

std::unique_ptr<SectorDevice> VisibleSectorsOf(EmulatedDevice& device) {
  if (device.Kind() == DriveKind::kKey) {
    auto& key = static_cast<EmulatedKey&>(device);
    const FlashWindow window = key.Areas().Visible();
    return std::make_unique<FlashWindowSectors>(key.Flash(), window.base, window.sectors, key.WriteProtected());
  }
  if (device.Kind() == DriveKind::kEmptyReader) return nullptr;
  auto& drive = static_cast<BystanderDrive&>(device);
  return std::make_unique<FlashWindowSectors>(drive.Media(), 0, drive.Media().SectorCount(), false);
}

}  // namespace emulated
