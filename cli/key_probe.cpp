// stelvarion-probe: attaches an emulated key and prints what the device library reads from it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devlib/commands/command_catalogue.h"
#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "frontend/emulated_setup.h"
#include "frontend/key_options.h"
#include "host/emulated/emulated_host.h"
#if defined(STELVARION_LINUX_HOST)
#include "cli/real_key.h"
#endif

namespace {

void PrintUsage() {
  std::puts(
      "Usage: stelvarion-probe [options]\n"
      "Attaches an emulated key at drive E: and prints what the device library reads from it.\n"
      "  --image PATH       the key's flash image, created sparse when missing (default: in memory)\n"
      "  --model NAME       KV 2 Zarno P9 (default), KV 2 Zarno P3 or Varnok Key\n"
      "  --capacity MB      capacity the key reports (default 1024)\n"
      "  --revision TEXT    firmware revision, four characters (default 2.45)\n"
      "  --ordinary-user    reach the key through the helper driver instead of pass-through\n"
      "  --info-block       print the key's information block as read (hex, 16 bytes a line)\n"
      "  --trace            print every command the key received");
#if defined(STELVARION_LINUX_HOST)
  std::fputs(RealKeyHelp(), stdout);
#endif
  std::puts("  --help             this text\n"
            "  --version          the program's version");
}

std::string Text(const char* bytes, std::size_t width) {
  std::string text(bytes, strnlen(bytes, width));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  EmulatedKeyOptions options;
  KeyOptionTexts texts;
  bool showTrace = false;
  bool showInfoBlock = false;
  bool help = false;
  bool version = false;
  const auto commandLine = NewCommandLine("stelvarion-probe");
  commandLine->add_flag("--help,-h", help);
  commandLine->add_flag("--version", version);
  commandLine->add_option("--image", options.key.imagePath);
  commandLine->add_option("--model", texts.model);
  commandLine->add_option("--capacity", texts.capacity);
  commandLine->add_option("--revision", texts.revision);
  commandLine->add_flag("--ordinary-user", options.ordinaryUser);
  commandLine->add_flag("--info-block", showInfoBlock);
  commandLine->add_flag("--trace", showTrace);
  std::optional<std::string> device;
#if defined(STELVARION_LINUX_HOST)
  commandLine->add_option("--device", device);
#endif
  std::string refused = ParseCommandLine(*commandLine, std::vector<std::string>(argv + 1, argv + argc));
  if (help) {
    PrintUsage();
    return 0;
  }
  if (version) {
    std::fputs(VersionText("stelvarion-probe").c_str(), stdout);
    return 0;
  }
  if (refused.empty()) refused = CheckKeyOptions(texts, options);
  if (!refused.empty()) {
    std::fprintf(stderr, "stelvarion-probe: %s\n", refused.c_str());
    PrintUsage();
    return 2;
  }
  emulated::EmulatedHost host;
#if defined(STELVARION_LINUX_HOST)
  linuxhost::RealDeviceCalls deviceCalls;
  TerminalShell shell;  // the key is reached through Linux
  std::unique_ptr<RealKey> realKey;
  if (device) {
    std::string refused = EmulatedKeyOptionBesideDevice(*commandLine);
    if (!refused.empty()) {
      std::fprintf(stderr, "stelvarion-probe: %s\n", refused.c_str());
      return 2;
    }
    realKey = std::make_unique<RealKey>(deviceCalls, linuxhost::SystemPaths{});
    refused = realKey->Open(*device);
    if (refused.empty()) refused = realKey->Identify(shell);
    if (!refused.empty()) {
      std::fprintf(stderr, "stelvarion-probe: %s\n", refused.c_str());
      return 1;
    }
  }
#endif
  if (!device) {
    try {
      SetUpEmulatedHost(host, options);
    } catch (const emulated::StoredKeyRefused& refusal) {
      std::fprintf(stderr, "stelvarion-probe: %s\n", refusal.what());
      if (refusal.WhatKind() != emulated::StoredKeyRefused::Kind::kContradicted) return 1;
      PrintUsage();
      return 2;
    }
  }

  char name[20] = {};
  int count = 0;
  const ResultCode found = FindKey(name, &count);
  if (found != kResultSuccess) {
    std::printf("No key found (result %d).\n", found);
    return 1;
  }
  char letter = '?';
  const ResultCode letterResult = GetKeyDriveLetter(&letter);
  int megabytes = 0;
  const ResultCode capacity = GetKeyCapacity(&megabytes);
  char vendor[8] = {};
  char product[16] = {};
  char revision[4] = {};
  const ResultCode inquiry = GetKeyInquiryStrings(vendor, product, revision);

  std::printf("Transport:  %s\n", TransportKind == kTransportPassThrough ? "SCSI pass-through" : "helper driver");
  std::printf("Keys found: %d\n", count);
  std::printf("Model:      %s\n", name[0] != '\0' ? name : "(identity not recognised)");
  std::string drive = std::string(1, letter) + ":";
#if defined(STELVARION_LINUX_HOST)
  if (realKey) drive = realKey->Disk().node;  // the device path stands where Windows has a letter
#endif
  if (letterResult == kResultSuccess) {
    std::printf("Drive:      %s\n", drive.c_str());
  } else {
    std::printf("Drive:      unknown (result %d)\n", letterResult);
  }
  if (capacity == kResultSuccess) std::printf("Capacity:   %d MB\n", megabytes);
  if (inquiry == kResultSuccess) {
    std::printf("Inquiry:    %s / %s / %s\n", Text(vendor, 8).c_str(), Text(product, 16).c_str(),
                Text(revision, 4).c_str());
  }
  // The raw block, for comparison with the same vendor command sent by other means.
  if (showInfoBlock) {
    std::uint8_t block[payload::kBlock] = {};
    const ResultCode read = ReadKeyInfoBlock(block);
    if (read != kResultSuccess) {
      std::printf("Info block: unreadable (result %d)\n", read);
    } else {
      std::printf("Info block:\n");
      for (std::size_t line = 0; line < payload::kBlock; line += 16) {
        for (std::size_t i = line; i < line + 16; ++i) std::printf(" %02x", block[i]);
        std::printf("\n");
      }
    }
  }
  if (showTrace && !device) {
    for (const emulated::TraceEvent& event : host.trace.Events()) {
      std::printf("  %s\n", event.Describe().c_str());
    }
  }
#if defined(STELVARION_LINUX_HOST)
  if (showTrace && realKey) {
    for (const std::string& line : realKey->TraceLines()) std::printf("  %s\n", line.c_str());
  }
#endif
  return capacity == kResultSuccess ? 0 : 1;
}
