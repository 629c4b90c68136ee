#include "cli/real_key.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "frontend/emulated_setup.h"
#include "frontend/trace_file.h"
#include "devlib/identity.h"
#include "devlib/key_library.h"
#include "devlib/library_state.h"

namespace {

// The key shows at the drive letter where the emulated host attaches its key, so that the two
// hosts' traces read alike.
constexpr char kKeyLetter = 'E';

constexpr int kChildIsKey = 0;
constexpr int kChildIsNotKey = 1;
constexpr int kChildCannotOpen = 2;

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

std::string OpenRefusal(const linuxhost::Disk& disk, int error) {
  const std::string reason = std::strerror(-error);
  if (error == -EACCES || error == -EPERM) {
    return "cannot open " + disk.node + ": " + reason + ". Run as root, or with read and write access to " +
           disk.node + ".";
  }
  if (error == -EBUSY) {
    return disk.node + " is in use: another program holds it exclusively (a mount, a RAID or volume manager, "
           "another run of this program). Stop that use and run again.";
  }
  return "cannot open " + disk.node + ": " + reason + ".";
}

}  // namespace

std::string EmulatedKeyOptionBesideDevice(const CLI::App& app) {
  if (app.count("--ordinary-user") != 0) {
    return "--ordinary-user has no Linux counterpart: Linux has no helper driver; run as root, or with access "
           "to the device node";
  }
  for (const char* name : {"--image", "--model", "--capacity", "--revision", "--flash-type", "--banks",
                           "--write-protected", "--key-log"}) {
    if (app.get_option_no_throw(name) != nullptr && app.count(name) != 0) {
      return std::string(name) + " describes the emulated key; a real key (--device) tells its own";
    }
  }
  return {};
}

const char* RealKeyHelp() {
  return "  --device PATH       drive a real key on this Linux machine: its block device (/dev/sdb), a\n"
         "                      link to it (/dev/disk/by-id/usb-...) or its /dev/sg node; \"auto\" takes\n"
         "                      the one key among the USB disks. Run as root, or with read and write\n"
         "                      access to the device node. Linux has no helper driver (--ordinary-user)\n"
         "                      and no registry; the key options describe only the emulated key.\n";
}

RealKey::RealKey(linuxhost::DeviceCalls& calls, linuxhost::SystemPaths paths)
    : m_calls(calls), m_paths(std::move(paths)) {}

std::string RealKey::ChooseAutomatically(linuxhost::Disk* chosen) {
  const std::vector<linuxhost::Disk> disks = linuxhost::ListUsbDisks(m_paths);
  if (disks.empty()) return "no USB disk is attached: plug the key in, or name it with --device PATH.";
  std::vector<linuxhost::Disk> keys;
  std::vector<std::string> others;
  std::fflush(nullptr);
  for (const linuxhost::Disk& disk : disks) {
    const pid_t child = fork();
    if (child == 0) {
      // Identification only reads, so the disk need not be claimed: a mounted key is still
      // found, and then refused by name.
      linuxhost::LinuxHost probe(m_calls, m_paths);
      probe.realPauses = false;
      if (probe.Attach(kKeyLetter, disk, false) != 0) _exit(kChildCannotOpen);
      host::Ports ports;
      probe.FillPorts(ports);
      host::Install(ports);
      char name[20] = {};
      _exit(FindKey(name, nullptr) == kResultSuccess && name[0] != '\0' ? kChildIsKey : kChildIsNotKey);
    }
    int status = 0;
    const bool waited = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
    const int answer = waited ? WEXITSTATUS(status) : kChildCannotOpen;
    if (answer == kChildIsKey) {
      keys.push_back(disk);
    } else {
      others.push_back(disk.Describe() + (answer == kChildCannotOpen ? ": could not be opened" : ""));
    }
  }
  if (keys.size() == 1) {
    *chosen = keys.front();
    return {};
  }
  if (keys.empty()) {
    return "no Stelvarion key among the USB disks (" + Joined(others) +
           "). Plug the key in; as an ordinary user, run as root or get access to its device node.";
  }
  std::vector<std::string> names;
  for (const linuxhost::Disk& key : keys) names.push_back(key.Describe());
  return "more than one Stelvarion key is attached (" + Joined(names) +
         "): name the one to use with --device PATH.";
}

std::string RealKey::Open(const std::string& device) {
  linuxhost::Disk disk;
  if (device == "auto") {
    if (std::string refused = ChooseAutomatically(&disk); !refused.empty()) return refused;
  } else {
    std::string error;
    if (!linuxhost::FindDisk(m_calls, m_paths, device, &disk, &error)) return error + ".";
    if (!disk.usb) {
      return disk.Describe() + " is not a USB disk: only a key on a USB bus is driven, and no vendor "
             "command goes to any other disk.";
    }
  }
  if (const auto mounts = linuxhost::MountsOf(m_paths, disk); !mounts.empty()) {
    const std::string first = mounts.front().substr(mounts.front().find(" on ") + 4);
    return disk.node + " is mounted (" + Joined(mounts) + "): unmount it first (umount " + first +
           "); nothing was written.";
  }
  auto host = std::make_unique<linuxhost::LinuxHost>(m_calls, m_paths);
  if (const int error = host->Attach(kKeyLetter, disk); error != 0) return OpenRefusal(disk, error);
  if (std::getenv("STELVARION_CLOCK_START") != nullptr) host->FollowPauseClock(FrontEndClockStart());
  m_disk = disk;
  m_host = std::move(host);
  return {};
}

std::string RealKey::Identify(TerminalShell& shell) {
  host::Ports ports;
  shell.FillPorts(ports);
  m_host->FillPorts(ports);
  host::Install(ports);
  // The library's own first identification, as the program's first call would make it: the
  // run that follows then sends exactly what it sends over the emulated host.
  DeviceLibraryReady();
  char letter = 0;
  if (GetKnownKeyDriveLetter(&letter) == kResultSuccess) return {};
  if (m_host->lastFailure && m_host->lastFailure->error == -EPERM) {
    return "the kernel refused the key's vendor commands on " + m_disk.node +
           " (Operation not permitted): they need the CAP_SYS_RAWIO capability. Run as root.";
  }
  return m_disk.Describe() + " is not a Stelvarion key: it did not answer with the identity of "
         "a KV 2 Zarno P3, a Varnok Key or a KV 2 Zarno P9. Nothing was written.";
}

std::string RealKey::CheckStartCanFinish() const {
  if (ModelKind != ModelKindFromName(kModelNameP9) || linuxhost::HasRawIoCapability(m_paths)) return {};
  return "the KV 2 Zarno P9 at " + m_disk.node + " is reset by a command (FF 1D) that the kernel passes only to a "
         "process with the CAP_SYS_RAWIO capability: run as root. Nothing was written.";
}

std::vector<std::string> RealKey::TraceLines() const {
  std::vector<std::string> lines;
  if (!m_host) return lines;
  for (const host::TraceEvent& event : m_host->trace.Events()) lines.push_back(event.Describe());
  return lines;
}

std::string RealKey::WriteTrace(const std::string& path) const {
  std::string text;
  for (const std::string& line : TraceLines()) text += line + '\n';
  return WriteTextFile(path, text);
}

std::string RealKey::FailureAdvice() const {
  if (!m_host || !m_host->lastFailure) return {};
  char reason[64];
  linuxhost::DescribeSgFailure(*m_host->lastFailure, reason, sizeof reason);
  return "the key at " + m_disk.node + " stopped answering (" + reason +
         "). Plug it in again and run once more: a run cut off midway is simply repeated.";
}
