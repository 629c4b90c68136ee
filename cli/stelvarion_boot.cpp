// stelvarion-boot: makes an emulated Stelvarion key bootable from a terminal, through the very
// dialog model and Start sequence of the Windows program.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
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
#include "cli/key_options.h"
#include "cli/terminal_dialog.h"
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
      "usage: stelvarion-boot [options]\n"
      "\n"
      "Makes an emulated Stelvarion key bootable, as the Windows program does for a real one:\n"
      "shows the key's capacity, types the volume label, presses Start, answers \"Format Warning\",\n"
      "and prints every message the program shows. The key is attached at drive E:.\n"
      "\n"
      "  --image PATH        the key's flash image, created sparse when missing\n"
      "                      (default stelvarion-key.img)\n"
      "  --label TEXT        the volume label, up to 11 characters\n"
      "  --yes               answer OK to \"Format Warning\" without asking\n"
      "%s"
      "%s"
      "  --help              this text\n"
      "\n"
      "Exit status: 0 after \"Successful.\", 1 after any other message or a refusal, 2 for a\n"
      "usage error. The image is a plain disk image: partition 1 holds the FAT volume.\n",
      KeyOptionsHelp(), DeviceHelp());
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "stelvarion-boot: %s\nTry 'stelvarion-boot --help'.\n", message.c_str());
  return kExitUsage;
}

// "Format Warning" on the terminal: OK only for a yes.
int AskOnTerminal() {
  std::printf("Continue? [y/N] ");
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) return host::win32::IDCANCEL;
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? host::win32::IDOK : host::win32::IDCANCEL;
}

}  // namespace

int main(int argc, char** argv) {
  EmulatedKeyOptions options;
  options.key.imagePath = "stelvarion-key.img";
  KeyOptionTexts texts;
  std::optional<std::string> label;
  bool yes = false;
  bool help = false;
  const auto commandLine = NewCommandLine("stelvarion-boot");
  commandLine->add_flag("--help,-h", help);
  commandLine->add_flag("--yes,-y", yes);
  commandLine->add_option("--label", label);
  std::optional<std::string> device;
#if defined(STELVARION_LINUX_HOST)
  commandLine->add_option("--device", device);
#endif
  AddKeyOptions(*commandLine, options, texts);
  const std::string refused = ParseCommandLine(*commandLine, std::vector<std::string>(argv + 1, argv + argc));
  if (help) {
    PrintHelp();
    return kExitSuccessful;
  }
  if (!refused.empty()) return Usage(refused);
  if (label && label->size() > 11) return Usage("a volume label has at most 11 characters");
  if (const std::string error = CheckKeyOptions(texts, options); !error.empty()) return Usage(error);

  emulated::EmulatedHost host;
#if defined(STELVARION_LINUX_HOST)
  linuxhost::RealDeviceCalls deviceCalls;
  std::unique_ptr<RealKey> realKey;
  if (device) {
    if (const std::string error = EmulatedKeyOptionBesideDevice(*commandLine); !error.empty()) return Usage(error);
    realKey = std::make_unique<RealKey>(deviceCalls, linuxhost::SystemPaths{});
    AddSystemFileResources(host);
    std::string refused = realKey->Open(*device);
    if (refused.empty()) refused = realKey->Identify(host);
    if (refused.empty()) refused = realKey->CheckStartCanFinish();
    if (!refused.empty()) {
      std::fprintf(stderr, "stelvarion-boot: %s\n", refused.c_str());
      return kExitNotSuccessful;
    }
  }
#endif
  try {
    if (!device) SetUpEmulatedHost(host, options);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "stelvarion-boot: %s\n", failure.what());
    return kExitNotSuccessful;
  }

  bool successful = false;
  host.messageBoxHandler = [&](const emulated::MessageBoxRecord& box) {
    std::printf("\n[%s] %s\n", box.caption.c_str(), box.text.c_str());
    if (box.text == text::kSuccessful) successful = true;
    if (box.caption == text::kFormatWarningCaption) {
      if (yes) {
        std::printf("Continue? [y/N] y (--yes)\n");
        return host::win32::IDOK;
      }
      return AskOnTerminal();
    }
    return host::win32::IDOK;
  };

  if (!device) {
    std::printf("%s — emulated key \"%s\", %u MB, firmware %s, image %s\n", text::kDialogTitle,
                options.key.model.c_str(), options.key.capacityMb, options.key.revision.c_str(),
                options.key.imagePath.c_str());
  }
#if defined(STELVARION_LINUX_HOST)
  if (realKey) {
    std::printf("%s — key %s (%s)\n", text::kDialogTitle, realKey->Disk().node.c_str(), realKey->Disk().Name().c_str());
  }
#endif
  TerminalDialogRunner runner(stdout, isatty(fileno(stdout)) != 0, label.value_or(""));
  BootUtilityApp app(runner);
  app.InitInstance();

  bool traced = true;
#if defined(STELVARION_LINUX_HOST)
  if (realKey) {
    if (!options.traceFile.empty()) traced = realKey->WriteTrace(options.traceFile);
    if (const std::string advice = realKey->FailureAdvice(); !successful && !advice.empty()) {
      std::fprintf(stderr, "stelvarion-boot: %s\n", advice.c_str());
    }
  }
#endif
  if (!device && !options.traceFile.empty()) traced = WriteTrace(host, options.traceFile);
  if (!traced) std::fprintf(stderr, "stelvarion-boot: cannot write the trace to %s\n", options.traceFile.c_str());
  return successful ? kExitSuccessful : kExitNotSuccessful;
}
