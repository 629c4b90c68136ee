#include "cli/terminal_dialog.h"

#include <algorithm>

#include "cli/label_text.h"

void TerminalProgressBar::SetRange(std::uint16_t low, std::uint16_t high) {
  m_low = low;
  m_high = high;
}

void TerminalProgressBar::SetPosition(std::int32_t position) {
  // The control clips what lies outside its range.
  m_position = std::clamp<std::int32_t>(position, m_low, m_high);
  Draw();
}

void TerminalProgressBar::Draw() {
  if (!m_interactive) return;
  constexpr int kWidth = 40;
  const int span = std::max(1, m_high - m_low);
  const int filled = (m_position - m_low) * kWidth / span;
  std::fprintf(m_out, "\r  [%s%s] %3d%%", std::string(static_cast<std::size_t>(filled), '#').c_str(),
               std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), (m_position - m_low) * 100 / span);
  std::fflush(m_out);
  m_drawn = true;
}

void TerminalProgressBar::Finish() {
  if (m_drawn) std::fputc('\n', m_out);
  m_drawn = false;
}

void TerminalDialogView::SetItemText(int id, const std::string& text) {
  WindowlessDialogView::SetItemText(id, text);
  if (id == dialog_id::kCapacity && !text.empty()) std::fprintf(m_out, "Capacity: %s\n", text.c_str());
}

void TerminalDialogView::ShowItem(int id, bool show) {
  WindowlessDialogView::ShowItem(id, show);
  if (id == dialog_id::kFormatting && show) std::fprintf(m_out, "Formatting...\n");
  if (id == dialog_id::kFormatting && !show) m_progress.Finish();
}

int TerminalDialogRunner::RunModal(BootUtilityDialog& dialog) {
  dialog.AttachView(&m_view);
  dialog.OnInitDialog();
  if (m_view.IsEnabled(dialog_id::kStart)) {
    m_view.Type(dialog_id::kLabel, m_label);
    if (!m_label.empty()) {
      std::fprintf(m_out, "Volume label: %s\n", Cp1252ToUtf8(m_view.GetItemText(dialog_id::kLabel)).c_str());
    }
    if (!m_notice.empty()) std::fprintf(m_out, "%s\n", m_notice.c_str());
    m_started = true;
    dialog.OnOK();
    m_view.Progress().Finish();
  }
  dialog.OnCancel();
  dialog.AttachView(nullptr);
  return host::win32::IDCANCEL;
}
