// stelvarion-usb-key: one emulated key as a USB mass-storage stick, served over usbredir on a
// Unix socket for qemu's usb-redir device.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "cli/key_options.h"
#include "cli/trace_file.h"
#include "host/emulated/emulated_host.h"
#include "usb/usb_key_device.h"
#include "usb/usbredir_key_server.h"

namespace {

int g_stopPipe[2] = {-1, -1};

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "Usage: stelvarion-usb-key --image IMAGE --socket PATH [key options]\n"
               "Serves one emulated key as a USB 2.0 mass-storage stick (Bulk-Only Transport) over the\n"
               "usbredir protocol: it listens on the Unix socket PATH, takes one connection, and ends when\n"
               "the peer disconnects (or on SIGINT or SIGTERM). For qemu:\n"
               "  -device qemu-xhci,id=usb -chardev socket,id=key,path=PATH\n"
               "  -device usb-redir,chardev=key,bus=usb.0,bootindex=0\n"
               "  --image IMAGE       the key's flash image, created sparse when missing\n"
               "  --socket PATH       the Unix socket to listen on (a stale socket there is replaced)\n"
               "  --pull-out-after NAME:COUNT\n"
               "                      leave the bus once the key has decoded its COUNT-th command named\n"
               "                      NAME (as --trace names it: Write10, RefreshMedium ...), before\n"
               "                      answering it, as a stick pulled out mid-command\n"
               "  --report-medium-changes\n"
               "                      after a reset, refresh or medium switch of the key, answer the next\n"
               "                      command with UNIT ATTENTION (medium may have changed), so that the\n"
               "                      host's disk driver notices the new volume\n"
               "%s"
               "  -h, --help          this text\n"
               "  --version           the program's version\n"
               "The key keeps its vendor commands, areas and passwords exactly as over the emulated host;\n"
               "the bus shows the visible area. Exit status: 0 after the peer disconnected, 1 when the\n"
               "image or the socket cannot be used, 2 for a usage error.\n",
               KeyOptionsHelp());
}

int Refuse(const std::string& message) {
  std::fprintf(stderr, "stelvarion-usb-key: %s\n", message.c_str());
  PrintUsage(stderr);
  return 2;
}

// Listens on the path; a socket left by an earlier run is replaced, anything else is kept.
int Listen(const std::string& path, std::string* error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long: " + path;
    return -1;
  }
  struct stat info{};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return -1;
    }
    unlink(path.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// Waits for the peer, or for a stop signal (-1 then).
int AcceptPeer(int listener) {
  for (;;) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(listener, &fds);
    FD_SET(g_stopPipe[0], &fds);
    const int n = select(std::max(listener, g_stopPipe[0]) + 1, &fds, nullptr, nullptr, nullptr);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || FD_ISSET(g_stopPipe[0], &fds)) return -1;
    const int peer = accept(listener, nullptr, nullptr);
    if (peer >= 0 || errno != EINTR) return peer;
  }
}

}  // namespace

int main(int argc, char** argv) {
  EmulatedKeyOptions options;
  KeyOptionTexts texts;
  std::string socketPath;
  bool help = false;
  bool version = false;
  bool reportMediumChanges = false;
  std::string pullOutAfter;
  const auto commandLine = NewCommandLine("stelvarion-usb-key");
  commandLine->add_flag("--help,-h", help);
  commandLine->add_flag("--version", version);
  commandLine->add_flag("--report-medium-changes", reportMediumChanges);
  commandLine->add_option("--pull-out-after", pullOutAfter);
  commandLine->add_option("--socket", socketPath);
  AddKeyOptions(*commandLine, options, texts);
  std::string refused = ParseCommandLine(*commandLine, std::vector<std::string>(argv + 1, argv + argc));
  if (help) {
    PrintUsage(stdout);
    return 0;
  }
  if (version) {
    std::fputs(VersionText("stelvarion-usb-key").c_str(), stdout);
    return 0;
  }
  if (refused.empty()) refused = CheckKeyOptions(texts, options);
  if (refused.empty() && options.key.imagePath.empty()) refused = "--image IMAGE is needed";
  if (refused.empty() && socketPath.empty()) refused = "--socket PATH is needed";
  // On the bus there is no Windows user and no pause to count.
  if (refused.empty() && options.ordinaryUser) refused = "--ordinary-user does not apply to a USB device";
  if (refused.empty() && options.realPauses) refused = "--real-pauses does not apply to a USB device";
  std::string pullOutName;
  unsigned long pullOutCount = 0;
  if (refused.empty() && !pullOutAfter.empty()) {
    const std::size_t colon = pullOutAfter.rfind(':');
    char* end = nullptr;
    if (colon != std::string::npos && colon > 0) pullOutCount = std::strtoul(pullOutAfter.c_str() + colon + 1, &end, 10);
    if (pullOutCount == 0 || end == nullptr || *end != '\0') {
      refused = "--pull-out-after takes NAME:COUNT, a command's name and a count from 1";
    } else {
      pullOutName = pullOutAfter.substr(0, colon);
    }
  }
  if (!refused.empty()) return Refuse(refused);

  emulated::EmulatedHost host;
  emulated::EmulatedKey* key = nullptr;
  try {
    SetUpEmulatedHost(host, options);
    key = host.KeyAt('E');
  } catch (const std::exception& error) {
    std::fprintf(stderr, "stelvarion-usb-key: %s\n", error.what());
    return 1;
  }
  if (key == nullptr) {
    std::fprintf(stderr, "stelvarion-usb-key: the key could not be attached\n");
    return 1;
  }

  if (pipe(g_stopPipe) != 0) return 1;
  struct sigaction stop{};
  stop.sa_handler = [](int) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], &byte, 1);
  };
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  const int listener = Listen(socketPath, &error);
  if (listener < 0) {
    std::fprintf(stderr, "stelvarion-usb-key: %s\n", error.c_str());
    return 1;
  }
  usb::UsbKeyDevice device(*key);
  device.Unit().ReportMediumChanges(reportMediumChanges);
  const usb::UsbIdentity& id = device.Identity();
  std::fprintf(stderr, "stelvarion-usb-key: \"%s\" %04x:%04x, %llu sectors visible, serial %s, on %s\n",
               options.key.model.c_str(), id.vendorId, id.productId,
               static_cast<unsigned long long>(key->Areas().Visible().sectors), id.serial.c_str(), socketPath.c_str());

  const int peer = AcceptPeer(listener);
  close(listener);
  unlink(socketPath.c_str());
  bool served = true;
  if (peer >= 0) {
    usb::UsbredirKeyServer server(device, peer);
    // Counted as the records come: each is looked at once, whatever the log drops meanwhile.
    std::uint64_t looked = 0;
    unsigned long seen = 0;
    if (!pullOutName.empty()) {
      server.PullOutWhen([&] {
        const auto& records = key->Log();
        const std::uint64_t total = key->LogDropped() + records.size();
        for (looked = std::max(looked, key->LogDropped()); looked < total; ++looked) {
          seen += records[looked - key->LogDropped()].name == pullOutName;
        }
        return seen >= pullOutCount;
      });
    }
    served = server.Run(g_stopPipe[0]);
    close(peer);
    if (!pullOutName.empty() && seen >= pullOutCount) std::fprintf(stderr, "stelvarion-usb-key: pulled out after %s number %lu\n", pullOutName.c_str(), pullOutCount);
  }
  if (!options.traceFile.empty() && !WriteKeyLog(*key, options.traceFile)) {
    std::fprintf(stderr, "stelvarion-usb-key: cannot write %s\n", options.traceFile.c_str());
    return 1;
  }
  if (!served) {
    std::fprintf(stderr, "stelvarion-usb-key: the connection failed\n");
    return 1;
  }
  return 0;
}
