// The main dialog on a terminal: the same dialog model the Windows program runs, its controls
// kept as state and shown as lines, its progress bar drawn in place.
#pragma once

#include <cstdio>
#include <string>

#include "app/boot_utility_app.h"
#include "app/boot_utility_dialog.h"
#include "frontend/windowless_dialog_view.h"

class TerminalProgressBar : public ui::ProgressBar {
 public:
  // A bar is drawn in place only on an interactive terminal.
  TerminalProgressBar(std::FILE* out, bool interactive) : m_out(out), m_interactive(interactive) {}
  void SetRange(std::uint16_t low, std::uint16_t high) override;
  void SetPosition(std::int32_t position) override;
  // Ends the bar's line, when one is drawn.
  void Finish();
  std::int32_t Position() const { return m_position; }

 private:
  void Draw();
  std::FILE* m_out;
  bool m_interactive;
  bool m_drawn = false;
  std::uint16_t m_low = 0;
  std::uint16_t m_high = 100;
  std::int32_t m_position = 0;
};

class TerminalDialogView : public WindowlessDialogView {
 public:
  TerminalDialogView(std::FILE* out, bool interactive) : m_out(out), m_progress(out, interactive) {}

  // The capacity line and "Formatting..." are shown as lines; the bar is drawn in place.
  void SetItemText(int id, const std::string& text) override;
  void ShowItem(int id, bool show) override;
  ui::ProgressBar& ProgressItem(int) override { return m_progress; }

  TerminalProgressBar& Progress() { return m_progress; }

 private:
  std::FILE* m_out;
  TerminalProgressBar m_progress;
};

// Runs the dialog as a user at the terminal would: reads the capacity line, types the label
// (code-page bytes, shown as UTF-8), presses Start when it is enabled, and closes the dialog.
class TerminalDialogRunner : public ModalDialogRunner {
 public:
  TerminalDialogRunner(std::FILE* out, bool interactive, std::string label)
      : m_view(out, interactive), m_out(out), m_label(std::move(label)) {}
  int RunModal(BootUtilityDialog& dialog) override;
  bool StartWasPressed() const { return m_started; }
  // A line shown before Start is pressed (what the layout makes of the key), or none.
  void SetNotice(std::string notice) { m_notice = std::move(notice); }

 private:
  TerminalDialogView m_view;
  std::FILE* m_out;
  std::string m_label;
  std::string m_notice;
  bool m_started = false;
};
