// A real key on Linux for the front ends (--device PATH or --device auto): which disk it is,
// the refusals that protect everything else, and the Linux host the library then runs over.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "frontend/terminal_shell.h"
#include "host/linux/linux_host.h"

class RealKey {
 public:
  RealKey(linuxhost::DeviceCalls& calls, linuxhost::SystemPaths paths);

  // Finds the disk --device names ("auto": the one key among the USB disks) and opens it
  // exclusively. Empty when it is ready; else the refusal, saying what to do. Nothing is written
  // either way.
  std::string Open(const std::string& device);

  // Installs the Linux host's ports, with the shell and resources of `shell`, and lets the
  // library make its first identification. Empty when the disk is a key of the family.
  std::string Identify(TerminalShell& shell);

  // Before Start: whether the sequence can reach its end on this kernel. The KV 2 Zarno P9 is
  // reset by a block of opcode FF, which the kernel passes only with CAP_SYS_RAWIO; the other
  // blocks (AD, which the kernel files under READ DVD STRUCTURE, and the standard ones) pass for
  // a writable open. Empty when it can; else the refusal.
  std::string CheckStartCanFinish() const;

  const linuxhost::Disk& Disk() const { return m_disk; }
  linuxhost::LinuxHost& Host() { return *m_host; }

  // Every command block and every pause, one line each, as the emulated host writes them.
  std::vector<std::string> TraceLines() const;
  // Empty when written, else why not.
  std::string WriteTrace(const std::string& path) const;

  // After a run that did not succeed: the key stopped answering, in words, with what to do;
  // empty when every command reached the key.
  std::string FailureAdvice() const;

 private:
  // The USB disks that answer as keys; each is asked in a process of its own, so that the
  // library's state in this one stays as at start.
  std::string ChooseAutomatically(linuxhost::Disk* chosen);

  linuxhost::DeviceCalls& m_calls;
  linuxhost::SystemPaths m_paths;
  linuxhost::Disk m_disk;
  std::unique_ptr<linuxhost::LinuxHost> m_host;
};

// The usage error for an option that describes the emulated key (--model, --image, ...) given
// beside --device; empty when there is none.
std::string EmulatedKeyOptionBesideDevice(const CLI::App& app);

// The help lines of --device.
const char* RealKeyHelp();
