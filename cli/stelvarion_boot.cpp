// stelvarion-boot: makes an emulated Stelvarion key bootable from a terminal, through the very
// dialog model and Start sequence of the Windows program.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "app/app_texts.h"
#include "app/boot_utility_app.h"
#include "devlib/key_library.h"
#include "frontend/emulated_setup.h"
#include "frontend/key_fit.h"
#include "frontend/key_options.h"
#include "cli/label_text.h"
#include "cli/terminal_dialog.h"
#include "frontend/trace_file.h"
#include "key/key_state.h"
#include "key/stored_key.h"
#if defined(STELVARION_LINUX_HOST)
#include "cli/real_key.h"
#endif

namespace {

constexpr int kExitSuccessful = 0;
constexpr int kExitNotSuccessful = 1;
constexpr int kExitUsage = 2;

const char* DeviceHelp() {
#if defined(STELVARION_LINUX_HOST)
  return RealKeyHelp();
#else
  return "";
#endif
}

void PrintHelp() {
  std::printf(
      "Usage: stelvarion-boot [options]\n"
      "\n"
      "Makes an emulated Stelvarion key bootable, as the Windows program does for a real one:\n"
      "shows the key's capacity, types the volume label, presses Start, answers \"Format Warning\",\n"
      "and prints every message the program shows. The key is attached at drive E:.\n"
      "\n"
      "  --image PATH        the key's flash image, created sparse when missing\n"
      "                      (default stelvarion-key.img)\n"
      "  --label TEXT        the volume label: up to 11 characters of the Windows code page 1252\n"
      "                      (typed as UTF-8), none with --label ''\n"
      "  --yes               answer OK to \"Format Warning\" without asking\n"
      "  --system-files DIR  copy IBMBIO.COM, IBMDOS.COM and COMMAND.COM from DIR instead of the\n"
      "                      files built into the program (PC DOS or MS-DOS 4.0 to 7.x, IBM names)\n"
      "  --key-log FILE      write every command as the emulated key decoded it, one line each, as\n"
      "                      stelvarion-usb-key --trace does\n"
      "%s"
      "%s"
      "  --help              this text\n"
      "  --version           the program's version\n"
      "\n"
      "Exit status: 0 after \"Successful.\", 1 after any other message or a refusal, 2 for a\n"
      "usage error. The image is a plain disk image: partition 1 holds the FAT volume.\n",
      KeyOptionsHelp(), DeviceHelp());
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "stelvarion-boot: %s\nTry 'stelvarion-boot --help'.\n", message.c_str());
  return kExitUsage;
}

// "Format Warning" on the terminal: OK only for "y" or "yes", in any case. Read from a file
// the answer is shown after the question, as a terminal would have echoed it.
int AskOnTerminal() {
  std::printf("Continue? [y/N] ");
  std::fflush(stdout);
  std::string answer;
  const bool read = static_cast<bool>(std::getline(std::cin, answer));
  if (isatty(fileno(stdin)) == 0) std::printf("%s\n", read ? answer.c_str() : "");
  const std::size_t first = answer.find_first_not_of(" \t\r");
  const std::size_t last = answer.find_last_not_of(" \t\r");
  std::string word = first == std::string::npos ? std::string() : answer.substr(first, last - first + 1);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return read && (word == "y" || word == "yes") ? host::win32::IDOK : host::win32::IDCANCEL;
}

// A sector reached the key's flash: a WRITE(10) the key took.
bool KeyWasWritten(const emulated::Trace& trace) {
  constexpr std::uint8_t kWrite10 = 0x2A;
  for (const emulated::TraceEvent& event : trace.Commands()) {
    if (event.delivered && !event.dataIn && !event.cdb.empty() && event.cdb[0] == kWrite10 && event.status == 0) {
      return true;
    }
  }
  return false;
}

struct RunRequest {
  const EmulatedKeyOptions& options;
  std::string label;   // code-page bytes, as the Windows program gets them
  bool yes = false;
  TraceFile& trace;
  std::string keyLog = {};
};

// The dialog over a host whose ports are installed, from the capacity line to its last message,
// its message boxes shown and answered through `shell` (the emulated host, or the terminal shell
// of a real key). True after "Successful.".
template <typename Shell>
bool ShowDialog(Shell& shell, const RunRequest& request, const std::string& headline, const std::string& notice) {
  bool successful = false;
  bool cancelled = false;
  shell.messageBoxHandler = [&](const auto& box) {
    std::printf("\n[%s] %s\n", box.caption.c_str(), box.text.c_str());
    if (box.text == text::kSuccessful) successful = true;
    if (box.caption == text::kFormatWarningCaption) {
      if (request.yes) {
        std::printf("Continue? [y/N] y (--yes)\n");
        return host::win32::IDOK;
      }
      const int answer = AskOnTerminal();
      cancelled = answer != host::win32::IDOK;
      return answer;
    }
    return host::win32::IDOK;
  };

  std::printf("%s — %s\n", text::kDialogTitle, headline.c_str());
  TerminalDialogRunner runner(stdout, isatty(fileno(stdout)) != 0, request.label);
  runner.SetNotice(notice);
  BootUtilityApp app(runner);
  app.InitInstance();
  if (cancelled) std::printf("Cancelled: nothing was written.\n");
  return successful;
}

// The dialog over the emulated key. *written tells whether the key's flash was changed.
int RunDialog(const RunRequest& request, bool* written) {
  const EmulatedKeyOptions& options = request.options;
  emulated::EmulatedHost host;
  const emulated::EmulatedKey* key = nullptr;
  try {
    key = &SetUpEmulatedHost(host, options);
  } catch (const emulated::StoredKeyRefused& refusal) {
    if (refusal.WhatKind() == emulated::StoredKeyRefused::Kind::kContradicted) return Usage(refusal.what());
    std::fprintf(stderr, "stelvarion-boot: %s\n", refusal.what());
    return kExitNotSuccessful;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "stelvarion-boot: %s\n", failure.what());
    return kExitNotSuccessful;
  }
  // A stored key is described, and judged, by what it is, not by the options' defaults.
  const emulated::KeyConfig& config = key->Config();
  const KeyFit fit = JudgeKeyFit(config);
  if (!fit.refusal.empty()) return Usage(fit.refusal);
  if (options.systemFiles) {
    if (const std::string refusal = JudgeSystemFilesFit(config, *options.systemFiles); !refusal.empty()) {
      std::fprintf(stderr, "stelvarion-boot: %s\n", refusal.c_str());
      return kExitNotSuccessful;
    }
  }

  char headline[512];
  std::snprintf(headline, sizeof headline, "emulated key \"%s\", %u MB, firmware %s, image %s", config.model.c_str(),
                config.capacityMb, config.revision.c_str(), config.imagePath.c_str());
  const bool successful = ShowDialog(host, request, headline, fit.notice);
  // The dialog can only say "unknown error"; the terminal can say why.
  if (!key->StorageFailure().empty()) std::fprintf(stderr, "stelvarion-boot: %s\n", key->StorageFailure().c_str());

  *written = KeyWasWritten(host.trace);
  if (const std::string why = request.keyLog.empty() ? "" : WriteKeyLog(*key, request.keyLog); !why.empty()) {
    std::fprintf(stderr, "stelvarion-boot: cannot write the key log to %s: %s\n", request.keyLog.c_str(), why.c_str());
    return kExitNotSuccessful;
  }
  if (const std::string why = request.trace.Wanted() ? request.trace.Write(host) : ""; !why.empty()) {
    std::fprintf(stderr, "stelvarion-boot: cannot write the trace to %s: %s\n", request.trace.Path().c_str(), why.c_str());
    return kExitNotSuccessful;
  }
  return successful ? kExitSuccessful : kExitNotSuccessful;
}

#if defined(STELVARION_LINUX_HOST)
// What the layout is planned from, as the library reads it from the key that was identified.
emulated::KeyConfig KeyAsTheLibraryReadsIt() {
  emulated::KeyConfig key;
  char name[20] = {};
  int megabytes = 0, flashType = 0, banks = 0;
  char revision[5] = {};
  FindKey(name, nullptr);
  GetKeyCapacity(&megabytes);
  GetKeyFlashConfig(&flashType, &banks);
  QueryFirmwareRevision(revision);
  key.model = std::string(name, strnlen(name, sizeof name));
  key.capacityMb = static_cast<std::uint32_t>(megabytes) & 0xFFFF;
  key.flashType = static_cast<std::uint16_t>(flashType);
  key.bankCount = static_cast<std::uint16_t>(banks);
  key.revision = revision;
  return key;
}

// The dialog over a real key on this machine's USB bus (--device).
int RunOnDevice(const RunRequest& request, const std::string& device) {
  const EmulatedKeyOptions& options = request.options;
  TerminalShell shell;  // message boxes and resources; the key is reached through Linux
  linuxhost::RealDeviceCalls deviceCalls;
  RealKey realKey(deviceCalls, linuxhost::SystemPaths{});
  shell.resources = SystemFileResources(options.systemFiles ? &*options.systemFiles : nullptr);
  std::string refused = realKey.Open(device);
  // The trace is checked before anything is sent, and never goes over the key's device node.
  if (refused.empty() && !options.traceFile.empty()) {
    if (std::string error = request.trace.Prepare(options.traceFile, realKey.Disk().node); !error.empty()) {
      return Usage(error);
    }
  }
  if (refused.empty()) refused = realKey.Identify(shell);
  if (refused.empty()) refused = realKey.CheckStartCanFinish();
  if (refused.empty() && options.systemFiles) refused = JudgeSystemFilesFit(KeyAsTheLibraryReadsIt(), *options.systemFiles);
  if (!refused.empty()) {
    std::fprintf(stderr, "stelvarion-boot: %s\n", refused.c_str());
    return kExitNotSuccessful;
  }

  const bool successful =
      ShowDialog(shell, request, "key " + realKey.Disk().node + " (" + realKey.Disk().Name() + ")", std::string());
  if (const std::string advice = realKey.FailureAdvice(); !successful && !advice.empty()) {
    std::fprintf(stderr, "stelvarion-boot: %s\n", advice.c_str());
  }
  if (const std::string why = options.traceFile.empty() ? "" : realKey.WriteTrace(options.traceFile); !why.empty()) {
    std::fprintf(stderr, "stelvarion-boot: cannot write the trace to %s: %s\n", options.traceFile.c_str(), why.c_str());
    return kExitNotSuccessful;
  }
  return successful ? kExitSuccessful : kExitNotSuccessful;
}
#endif

// Whether a file is missing, so that a run that changed nothing can remove what it made.
bool IsMissing(const std::string& path) {
  std::error_code error;
  return !std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

}  // namespace

int main(int argc, char** argv) {
  EmulatedKeyOptions options;
  options.key.imagePath = "stelvarion-key.img";
  KeyOptionTexts texts;
  std::optional<std::string> label;
  bool yes = false;
  bool help = false;
  bool version = false;
  std::string keyLog;
  const auto commandLine = NewCommandLine("stelvarion-boot");
  commandLine->add_flag("--help,-h", help);
  commandLine->add_flag("--version", version);
  commandLine->add_flag("--yes,-y", yes);
  AllowEmptyValue(commandLine->add_option("--label", label));
  commandLine->add_option("--key-log", keyLog);
  std::optional<std::string> device;
#if defined(STELVARION_LINUX_HOST)
  commandLine->add_option("--device", device);
#endif
  AddKeyOptions(*commandLine, options, texts);
  AddSystemFilesOption(*commandLine, options);
  const std::string refused = ParseCommandLine(*commandLine, std::vector<std::string>(argv + 1, argv + argc));
  if (help) {
    PrintHelp();
    return kExitSuccessful;
  }
  if (version) {
    std::fputs(VersionText("stelvarion-boot").c_str(), stdout);
    return kExitSuccessful;
  }
  if (!refused.empty()) return Usage(refused);
  std::string labelBytes;
  if (label) {
    if (const std::string error = LabelFromTerminal(*label, &labelBytes); !error.empty()) return Usage(error);
  }
  if (const std::string error = CheckKeyOptions(texts, options); !error.empty()) return Usage(error);
  // A folder that cannot start is refused before the image is created or opened.
  if (const std::string refusal = LoadSystemFilesFolder(options, {{keyLog, "the key log"}}); !refusal.empty()) {
    std::fprintf(stderr, "stelvarion-boot: %s\n", refusal.c_str());
    return kExitNotSuccessful;
  }
  if (options.systemFiles) {
    for (const std::string& warning : options.systemFiles->warnings) {
      std::fprintf(stderr, "stelvarion-boot: warning: %s\n", warning.c_str());
    }
  }

#if defined(STELVARION_LINUX_HOST)
  if (device) {
    if (const std::string error = EmulatedKeyOptionBesideDevice(*commandLine); !error.empty()) return Usage(error);
    TraceFile trace;
    return RunOnDevice({options, labelBytes, yes, trace}, *device);
  }
#endif

  if (const std::string error = ImageRefusal(options.key.imagePath); !error.empty()) return Usage(error);
  // The options alone are judged first; a stored key is judged again as it is, once opened.
  if (const KeyFit fit = JudgeKeyFit(options.key); !fit.refusal.empty() && IsMissing(options.key.imagePath)) {
    return Usage(fit.refusal);
  }
  TraceFile trace;
  if (!options.traceFile.empty()) {
    const std::string statePath = emulated::KeyStatePath(options.key.imagePath);
    if (const std::string error = trace.Prepare(options.traceFile, options.key.imagePath, statePath); !error.empty()) {
      return Usage(error);
    }
  }

  const std::string statePath = emulated::KeyStatePath(options.key.imagePath);
  const bool imageIsNew = IsMissing(options.key.imagePath);
  const bool stateIsNew = IsMissing(statePath);
  bool written = false;
  const int result = RunDialog({options, labelBytes, yes, trace, keyLog}, &written);
  // A run that changed nothing leaves no image of its own making behind, nor its state.
  // A usage error found once the key was opened leaves no state file of its making either.
  std::error_code error;
  if (imageIsNew && result != kExitSuccessful && !written) std::filesystem::remove(options.key.imagePath, error);
  if (stateIsNew && ((imageIsNew && result != kExitSuccessful && !written) || result == kExitUsage)) {
    std::filesystem::remove(statePath, error);
  }
  return result;
}
