// StelvarionBootUtility-emulated.exe: the real Windows dialog, message boxes and resources over
// the emulated key and its emulated drives, registry and helper driver. The key is described by
// the environment variable STELVARION_EMULATED_KEY with the terminal front end's key options,
// for example: --image C:\keys\key.img --model "KV 2 Zarno P3" --capacity 512
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "cli/key_options.h"
#include "windows/win32_dialog.h"
#include "host/win32/win32_host.h"

namespace {

// Splits the option string as a shell would for plain words and double-quoted phrases.
std::vector<std::string> SplitOptions(const char* text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((*c == ' ' || *c == '\t') && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += *c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

int Refuse(const std::string& message) {
  ::MessageBoxA(nullptr, message.c_str(), "StelvarionBootUtility-emulated", MB_OK | MB_ICONEXCLAMATION);
  return 2;
}

}  // namespace

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int) {
  EmulatedKeyOptions options;
  options.key.imagePath = "stelvarion-key.img";
  const char* described = std::getenv("STELVARION_EMULATED_KEY");
  const std::vector<std::string> args = SplitOptions(described != nullptr ? described : "");
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string error;
    if (!TakeKeyOption(args, i, options, &error)) return Refuse("STELVARION_EMULATED_KEY: unknown option " + args[i]);
    if (!error.empty()) return Refuse("STELVARION_EMULATED_KEY: " + error);
  }

  emulated::EmulatedHost emulatedHost;
  try {
    SetUpEmulatedHost(emulatedHost, options);
  } catch (const std::exception& failure) {
    return Refuse(failure.what());
  }
  // The key and everything it is reached through are emulated; what the user sees is real.
  win32host::Win32Host windowsHost;
  host::Ports ports = emulatedHost.PortsForInstall();
  ports.shell = &windowsHost.shell;
  ports.resources = &windowsHost.resources;
  host::Install(ports);

  const int result = win32host::RunBootUtility(module);
  if (!options.traceFile.empty()) WriteTrace(emulatedHost, options.traceFile);
  return result;
}
