// The application object: single instance, refusal to run from the key, and the modal run of
// the main dialog.
#pragma once

#include <cstdint>
#include <string>

#include "host/shell_port.h"

class BootUtilityDialog;

// Runs a dialog modally on the platform's user interface until it ends: the Windows dialog
// manager, the terminal front end, or a test.
class ModalDialogRunner {
 public:
  virtual ~ModalDialogRunner() = default;
  virtual int RunModal(BootUtilityDialog& dialog) = 0;
};

class BootUtilityApp {
 public:
  explicit BootUtilityApp(ModalDialogRunner& runner) : m_runner(runner) {}

  // Always false: the process ends when it returns.
  bool InitInstance();

  // True when the current directory lies on the key, which the program must never erase.
  bool IsStartedFromKey();

  // The window that owns application message boxes while the dialog runs; 0 otherwise.
  host::WindowHandle MainWindow() const;

 private:
  ModalDialogRunner& m_runner;
  BootUtilityDialog* m_mainDialog = nullptr;
};

// The one application object of the process, while it runs.
BootUtilityApp* TheApp();

// An application message box: OK, the exclamation icon unless another is given, the
// executable's base name as caption, owned by the main dialog when there is one.
int AppMessageBox(const char* text, std::uint32_t iconAndButtons = host::win32::MB_OK | host::win32::MB_ICONEXCLAMATION);
