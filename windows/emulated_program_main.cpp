// StelvarionBootUtility-emulated.exe: the real Windows dialog, message boxes and resources over
// the emulated key and its emulated drives, registry and helper driver. The key is described by
// the environment variable STELVARION_EMULATED_KEY with the terminal front end's key options,
// for example: --image C:\keys\key.img --model "KV 2 Zarno P3" --capacity 512
// Under a Windows of the 9x family the emulated Windows is 98 SE; --no-letter-record then leaves
// the key's drive letter out of its registry, as a storage driver that keeps no record would.
#include <cstdlib>
#include <exception>
#include <string>

#include "frontend/emulated_setup.h"
#include "frontend/key_fit.h"
#include "frontend/key_options.h"
#include "frontend/trace_file.h"
#include "key/key_state.h"
#include "host/win32/win32_host.h"
#include "windows/win32_dialog.h"

namespace {

// The key can be pulled out and plugged in again by another program (the GUI test), as a user
// would at a real computer: a message-only window of this class takes kPlugMessage with wParam 0
// (remove) or 1 (attach). It runs on the dialog's thread, between the dialog's own messages, so
// the emulated host is never touched from two threads. The broadcast that follows on Windows is
// the other program's to send.
constexpr char kPlugWindowClass[] = "StelvarionEmulatedKeyPlug";
constexpr UINT kPlugMessage = WM_APP + 1;

struct Plug {
  emulated::EmulatedHost* host = nullptr;
  const EmulatedKeyOptions* options = nullptr;
};
Plug g_plug;

LRESULT CALLBACK PlugWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kPlugMessage) return ::DefWindowProcA(window, message, wParam, lParam);
  if (wParam == 0) {
    g_plug.host->Detach(kKeyDriveLetter);
  } else if (g_plug.host->KeyAt(kKeyDriveLetter) == nullptr) {
    // No exception may leave a window procedure; a key that cannot be attached stays out.
    try {
      // Plugged in again, the key is the one its state describes, as a real key keeps its own.
      g_plug.host->Attach(kKeyDriveLetter, emulated::OpenStoredKey(g_plug.options->key, g_plug.options->given), 0);
    } catch (const std::exception&) {
    }
  }
  return g_plug.host->KeyAt(kKeyDriveLetter) != nullptr ? 1 : 0;
}

void CreatePlugWindow(HINSTANCE module, emulated::EmulatedHost& host, const EmulatedKeyOptions& options) {
  g_plug = {&host, &options};
  WNDCLASSA type{};
  type.lpfnWndProc = PlugWindowProc;
  type.hInstance = module;
  type.lpszClassName = kPlugWindowClass;
  if (::RegisterClassA(&type) == 0) return;
  ::CreateWindowExA(0, kPlugWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
}

int Refuse(const std::string& message, int exitCode = 2) {
  ::MessageBoxA(nullptr, message.c_str(), "StelvarionBootUtility-emulated", MB_OK | MB_ICONEXCLAMATION);
  return exitCode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int) {
  EmulatedKeyOptions options;
  options.key.imagePath = "stelvarion-key.img";
  KeyOptionTexts texts;
  const auto commandLine = NewCommandLine("STELVARION_EMULATED_KEY");
  AddKeyOptions(*commandLine, options, texts);
  AddSystemFilesOption(*commandLine, options);
  bool noLetterRecord = false;
  commandLine->add_flag("--no-letter-record", noLetterRecord);
  // One line of options, split as a shell would for plain words and quoted phrases.
  const char* described = std::getenv("STELVARION_EMULATED_KEY");
  std::string refused = ParseCommandLine(*commandLine, std::string(described != nullptr ? described : ""));
  if (refused.empty()) refused = CheckKeyOptions(texts, options);
  // The trace is written at the end: a file that cannot take it, or the image itself, is
  // refused before the key is reached.
  TraceFile trace;
  if (refused.empty() && !options.traceFile.empty()) {
    refused = trace.Prepare(options.traceFile, options.key.imagePath, emulated::KeyStatePath(options.key.imagePath));
  }
  if (refused.empty()) refused = LoadSystemFilesFolder(options);
  if (!refused.empty()) return Refuse("STELVARION_EMULATED_KEY: " + refused);

  emulated::EmulatedHost emulatedHost;
  // The key's records, its security answers and its transport are those of the Windows that
  // runs the program (wine may be told to report 98).
  if ((::GetVersion() & 0x80000000u) != 0) emulatedHost.windows = emulated::EmulatedWindows::kWindows98;
  emulatedHost.faults.keyLetterUnrecorded = noLetterRecord;
  try {
    const emulated::EmulatedKey& key = SetUpEmulatedHost(emulatedHost, options);
    // As large as the volume at most, so that the key is never laid out for files it cannot take.
    if (options.systemFiles) {
      if (const std::string refusal = JudgeSystemFilesFit(key.Config(), *options.systemFiles); !refusal.empty()) {
        return Refuse("STELVARION_EMULATED_KEY: " + refusal, 1);
      }
    }
  } catch (const emulated::StoredKeyRefused& refusal) {
    // An option that contradicts the stored key is a usage error; a key in use, or an image that
    // is not the key's, is a refusal.
    const bool usage = refusal.WhatKind() == emulated::StoredKeyRefused::Kind::kContradicted;
    return Refuse(refusal.what(), usage ? 2 : 1);
  }
  // The key and everything it is reached through are emulated; what the user sees is real.
  win32host::Win32Host windowsHost;
  host::Ports ports = emulatedHost.PortsForInstall();
  ports.shell = &windowsHost.shell;
  // The system files are the program's resources unless a folder was named; the captions are
  // always the executable's name.
  emulatedHost.applicationName = windowsHost.resources.ApplicationName();
  if (!options.systemFiles) ports.resources = &windowsHost.resources;
  host::Install(ports);

  CreatePlugWindow(module, emulatedHost, options);
  const int result = win32host::RunBootUtility(module);
  if (const std::string why = trace.Wanted() ? trace.Write(emulatedHost) : ""; !why.empty()) {
    Refuse("cannot write the trace to " + trace.Path() + ": " + why);
    return 1;
  }
  return result;
}
