#include "app/boot_utility_app.h"

#include <cctype>

#include "app/app_texts.h"
#include "app/boot_utility_dialog.h"
#include "devlib/key_library.h"
#include "host/host.h"

namespace {
BootUtilityApp* g_app = nullptr;
}

BootUtilityApp* TheApp() { return g_app; }

int AppMessageBox(const char* text, std::uint32_t iconAndButtons) {
  const std::string caption = host::Resources().ApplicationName();
  const host::WindowHandle owner = g_app != nullptr ? g_app->MainWindow() : 0;
  return host::Shell().MessageBox(owner, text, caption.c_str(), iconAndButtons);
}

host::WindowHandle BootUtilityApp::MainWindow() const {
  return m_mainDialog != nullptr ? m_mainDialog->Window() : 0;
}

bool BootUtilityApp::IsStartedFromKey() {
  char directory[host::win32::MAX_PATH] = {};
  host::Files().GetCurrentDirectory(sizeof directory, directory);
  char letter = 0;
  GetKeyDriveLetter(&letter);
  // Windows reports drive letters in either case; e:\ is on key E as much as E:\ is.
  return letter != 0 && std::toupper(static_cast<unsigned char>(directory[0])) ==
                            std::toupper(static_cast<unsigned char>(letter));
}

bool BootUtilityApp::InitInstance() {
  g_app = this;
  if (host::Shell().FindWindowByTitle(text::kDialogTitle) != 0) {
    AppMessageBox(text::kAlreadyRunning);
  } else if (IsStartedFromKey()) {
    AppMessageBox(text::kStartedFromKey);
  } else {
    BootUtilityDialog dialog;
    m_mainDialog = &dialog;
    m_runner.RunModal(dialog);
    m_mainDialog = nullptr;
  }
  g_app = nullptr;
  return false;
}
