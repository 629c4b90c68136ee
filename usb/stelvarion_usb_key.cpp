// stelvarion-usb-key: one emulated key as a USB mass-storage stick, served over usbredir on a
// Unix socket for qemu's usb-redir device.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "frontend/emulated_setup.h"
#include "frontend/key_options.h"
#include "frontend/trace_file.h"
#include "host/emulated/emulated_host.h"
#include "key/key_state.h"
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
               "  --socket PATH       the Unix socket to listen on (a stale socket there is replaced, one that a\n"
               "                      program listens on is refused)\n"
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

// Whether a socket that is listening is bound to this file, from the kernel's own table of Unix
// sockets (sock_diag, the table `ss -xl` shows), which names each one's file by device and inode.
// Nothing connects, so a program waiting for its one peer does not take the question for it.
// Empty when the table cannot be read.
std::optional<bool> ListenerBoundTo(const struct stat& file) {
  constexpr std::uint8_t kListening = 10;  // TCP_LISTEN, as sock_diag names every family's states
  const int table = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (table < 0) return std::nullopt;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } question{};
  question.header.nlmsg_len = sizeof question;
  question.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  question.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  question.request.sdiag_family = AF_UNIX;
  question.request.udiag_states = 1u << kListening;
  question.request.udiag_show = UDIAG_SHOW_VFS;
  std::optional<bool> bound;
  if (send(table, &question, sizeof question, 0) == static_cast<ssize_t>(sizeof question)) {
    std::vector<std::uint8_t> answer(32768);
    for (bool done = false; !done;) {
      const ssize_t received = recv(table, answer.data(), answer.size(), 0);
      if (received <= 0) break;
      const std::size_t end = static_cast<std::size_t>(received);
      for (std::size_t at = 0; at + sizeof(nlmsghdr) <= end;) {
        nlmsghdr header;
        std::memcpy(&header, answer.data() + at, sizeof header);
        if (header.nlmsg_len < sizeof header || at + header.nlmsg_len > end) break;
        if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) {
          if (header.nlmsg_type == NLMSG_DONE && !bound) bound = false;
          done = true;
          break;
        }
        // The socket's record, then its attributes; the file's is UNIX_DIAG_VFS.
        std::size_t attribute = at + NLMSG_LENGTH(sizeof(unix_diag_msg));
        const std::size_t recordEnd = at + header.nlmsg_len;
        while (attribute + sizeof(rtattr) <= recordEnd) {
          rtattr head;
          std::memcpy(&head, answer.data() + attribute, sizeof head);
          if (head.rta_len < sizeof head || attribute + head.rta_len > recordEnd) break;
          if (head.rta_type == UNIX_DIAG_VFS && head.rta_len >= RTA_LENGTH(sizeof(unix_diag_vfs))) {
            unix_diag_vfs vfs;
            std::memcpy(&vfs, answer.data() + attribute + RTA_LENGTH(0), sizeof vfs);
            // The kernel's own device number: 12 bits of major above 20 of minor.
            if (vfs.udiag_vfs_ino == file.st_ino && makedev(vfs.udiag_vfs_dev >> 20, vfs.udiag_vfs_dev & 0xFFFFF) == file.st_dev) {
              bound = true;
            }
          }
          attribute += RTA_ALIGN(head.rta_len);
        }
        at += NLMSG_ALIGN(header.nlmsg_len);
      }
    }
  }
  close(table);
  return bound;
}

// Without the kernel's table: whether a program answers on the socket. Only a refused
// connection shows that nobody listens.
bool Answers(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;
  const bool answered = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno != ECONNREFUSED;
  close(probe);
  return answered;
}

// The socket this run listens on, removed when the run ends, unless another file has taken its
// place meanwhile.
struct OwnSocket {
  int fd = -1;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;

  void Remove() const {
    struct stat info{};
    if (lstat(path.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode) unlink(path.c_str());
  }
};

// Listens on the path. A socket that an earlier run left behind is replaced; one that a program
// still listens on, and anything that is not a socket, are kept and refused.
bool Listen(const std::string& path, OwnSocket* own, std::string* error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long: " + path;
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  struct stat info{};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return false;
    }
    const std::optional<bool> listened = ListenerBoundTo(info);
    if (listened ? *listened : Answers(address)) {
      *error = path + " is in use: a program listens on it (each key needs a socket of its own)";
      return false;
    }
    unlink(path.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0 ||
      lstat(path.c_str(), &info) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  *own = OwnSocket{fd, path, info.st_dev, info.st_ino};
  return true;
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
  // The trace is written at the end, the key's own files never: checked before anything is made.
  TraceFile trace;
  if (!options.traceFile.empty()) {
    const std::string& image = options.key.imagePath;
    if (std::string error = trace.Prepare(options.traceFile, image, emulated::KeyStatePath(image)); !error.empty()) {
      return Refuse(error);
    }
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

  // The socket before the key: a path that cannot serve leaves no new image behind.
  OwnSocket own;
  std::string error;
  if (!Listen(socketPath, &own, &error)) {
    trace.DiscardIfNew();
    std::fprintf(stderr, "stelvarion-usb-key: %s\n", error.c_str());
    return 1;
  }
  emulated::EmulatedHost host;
  emulated::EmulatedKey* key = nullptr;
  try {
    SetUpEmulatedHost(host, options);
    key = host.KeyAt('E');
    if (key == nullptr) error = "the key could not be attached";
  } catch (const std::exception& failure) {
    error = failure.what();
  }
  if (key == nullptr) {
    close(own.fd);
    own.Remove();
    trace.DiscardIfNew();
    std::fprintf(stderr, "stelvarion-usb-key: %s\n", error.c_str());
    return 1;
  }

  usb::UsbKeyDevice device(*key);
  device.Unit().ReportMediumChanges(reportMediumChanges);
  const usb::UsbIdentity& id = device.Identity();
  // A stored key is named for what it is, not for the options' default.
  std::fprintf(stderr, "stelvarion-usb-key: \"%s\" %04x:%04x, %llu sectors visible, serial %s, on %s\n",
               key->Config().model.c_str(), id.vendorId, id.productId,
               static_cast<unsigned long long>(key->Areas().Visible().sectors), id.serial.c_str(), socketPath.c_str());

  const int peer = AcceptPeer(own.fd);
  close(own.fd);
  own.Remove();
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
  if (const std::string why = trace.Wanted() ? WriteKeyLog(*key, trace.Path()) : ""; !why.empty()) {
    std::fprintf(stderr, "stelvarion-usb-key: cannot write the trace to %s: %s\n", trace.Path().c_str(), why.c_str());
    return 1;
  }
  if (!served) {
    std::fprintf(stderr, "stelvarion-usb-key: the connection failed\n");
    return 1;
  }
  return 0;
}
