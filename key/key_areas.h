// The key's two storage areas over one flat flash: the area-size register that splits the
// flash, the view the host is given at LBA 0, and the password, hint and lock of each area.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace emulated {

enum class KeyView {
  kFirstArea,   // LBA 0 is flash sector 0; the first area's sectors are visible
  kSecondArea,  // LBA 0 is the first sector after the first area; the rest is visible
  kWholeFlash,  // LBA n is flash sector n, across both areas
};

// A run of flash sectors.
struct FlashWindow {
  std::uint64_t base = 0;
  std::uint64_t sectors = 0;
};

class KeyAreas {
 public:
  static constexpr int kAreaCount = 2;
  static bool ValidArea(int area) { return area >= 0 && area < kAreaCount; }

  // The register starts at the whole flash: one area, as a key leaves the factory.
  explicit KeyAreas(std::uint64_t flashSectors);

  std::uint64_t FlashSectors() const { return m_flashSectors; }

  // The register holds what 0xB4 stored, unclamped; 0xB5 answers it back. A value beyond the
  // flash (the library rounds some sizes up by one sector) makes the first area the whole flash.
  std::uint32_t Register() const { return m_register; }
  void SetRegister(std::uint32_t sectors) { m_register = sectors; }
  std::uint64_t FirstAreaSectors() const;
  FlashWindow AreaWindow(int area) const;

  KeyView View() const { return m_view; }
  void SetView(KeyView view) { m_view = view; }
  // The sectors the host currently reaches, LBA 0 first.
  FlashWindow Visible() const;

  bool HasPassword(int area) const { return !At(area).password.empty(); }
  const std::string& Password(int area) const { return At(area).password; }
  const std::string& Hint(int area) const { return At(area).hint; }
  // An area without a password is always unlocked.
  bool Unlocked(int area) const { return !HasPassword(area) || At(area).unlocked; }

  // Sets the password and hint; an empty password removes both. The area stays unlocked for
  // whoever set it, until the next lock.
  void SetPassword(int area, std::string password, std::string hint);
  void SetHint(int area, std::string hint) { At(area).hint = std::move(hint); }
  void Unlock(int area) { At(area).unlocked = true; }
  // Power-on and device reset: every area with a password asks for it again.
  void LockAll();

  // True when any of the flash sectors [first, first + count) lies in a locked area.
  bool TouchesLockedArea(std::uint64_t first, std::uint64_t count) const;

 private:
  struct Area {
    std::string password;
    std::string hint;
    bool unlocked = true;
  };
  Area& At(int area) { return m_areas.at(static_cast<std::size_t>(area)); }
  const Area& At(int area) const { return m_areas.at(static_cast<std::size_t>(area)); }

  std::uint64_t m_flashSectors;
  std::uint32_t m_register;
  KeyView m_view = KeyView::kFirstArea;
  std::array<Area, kAreaCount> m_areas;
};

}  // namespace emulated
