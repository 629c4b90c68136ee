#include "frontend/windowless_dialog_view.h"

void WindowlessDialogView::Type(int id, const std::string& text) {
  auto limit = m_limits.find(id);
  m_texts[id] = limit == m_limits.end() ? text : text.substr(0, static_cast<std::size_t>(limit->second));
}

bool WindowlessDialogView::IsEnabled(int id) const {
  auto it = m_enabled.find(id);
  return it == m_enabled.end() || it->second;
}
