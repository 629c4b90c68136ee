#include "key/key_areas.h"

#include <algorithm>
#include <limits>

namespace emulated {

KeyAreas::KeyAreas(std::uint64_t flashSectors)
    : m_flashSectors(flashSectors),
      m_register(static_cast<std::uint32_t>(
          std::min<std::uint64_t>(flashSectors, std::numeric_limits<std::uint32_t>::max()))) {}

std::uint64_t KeyAreas::FirstAreaSectors() const {
  return std::min<std::uint64_t>(m_register, m_flashSectors);
}

FlashWindow KeyAreas::AreaWindow(int area) const {
  const std::uint64_t first = FirstAreaSectors();
  return area == 0 ? FlashWindow{0, first} : FlashWindow{first, m_flashSectors - first};
}

FlashWindow KeyAreas::Visible() const {
  switch (m_view) {
    case KeyView::kFirstArea:
      return AreaWindow(0);
    case KeyView::kSecondArea:
      return AreaWindow(1);
    case KeyView::kWholeFlash:
      break;
  }
  return FlashWindow{0, m_flashSectors};
}

void KeyAreas::SetPassword(int area, std::string password, std::string hint) {
  Area& a = At(area);
  if (password.empty()) hint.clear();
  a.password = std::move(password);
  a.hint = std::move(hint);
  a.unlocked = true;
}

void KeyAreas::LockAll() {
  for (Area& area : m_areas) area.unlocked = area.password.empty();
}

bool KeyAreas::TouchesLockedArea(std::uint64_t first, std::uint64_t count) const {
  if (count == 0) return false;
  for (int area = 0; area < kAreaCount; ++area) {
    if (Unlocked(area)) continue;
    const FlashWindow w = AreaWindow(area);
    if (first < w.base + w.sectors && w.base < first + count) return true;
  }
  return false;
}

}  // namespace emulated
