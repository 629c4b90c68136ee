// The trace file a run writes at its end, checked before anything is sent to the key: a trace
// that cannot be written, or that would be written over the key's own image, is a usage error
// then instead of a trace lost (or a key destroyed) at the end.
#pragma once

#include <string>

#include "host/emulated/emulated_host.h"

class TraceFile {
 public:
  // Creates the file when it is missing (emptying nothing) and makes sure it is neither the image
  // nor the key's state file (or its new copy): the same file by identity (device and inode),
  // however either is named, a symlink included.
  // Empty on success, else the usage error; a file created here is removed again then.
  std::string Prepare(const std::string& path, const std::string& imagePath);

  // Every command block and every pause, one line each, over what the file held. False when the
  // file could not be written.
  bool Write(const emulated::EmulatedHost& host) const;

  // Removes the file when Prepare created it (a run refused before its trace was written).
  void DiscardIfNew();

  const std::string& Path() const { return m_path; }
  bool Wanted() const { return !m_path.empty(); }

 private:
  std::string m_path;
  bool m_created = false;
};

// Every command the key decoded, one line each: its name, direction, length, status and decoded
// fields (the filler bytes of a block are not among them). Written alike by every program that
// holds the key itself, so that two runs can be compared command for command. False when the
// file could not be written.
bool WriteKeyLog(const emulated::EmulatedKey& key, const std::string& path);
