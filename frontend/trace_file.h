// The trace file a run writes at its end, checked before anything is sent to the key: a trace
// that cannot be written, that would block the run, or that would be written over the key's
// own files, is a usage error then instead of a trace lost (or a key destroyed) at the end.
#pragma once

#include <string>

#include "host/emulated/emulated_host.h"

class TraceFile {
 public:
  // Creates the file when it is missing (emptying nothing) and makes sure it can take the
  // trace: a plain file, or /dev/null or /dev/full (a FIFO would hold the run until a reader
  // came, a device would take the lines as data), and neither the key's image nor its state
  // (`statePath`, empty when the key keeps none) or its new copy: not the same file by identity (device and
  // inode), however either is named, a symlink included.
  // Empty on success, else the usage error; a file created here is removed again then.
  std::string Prepare(const std::string& path, const std::string& imagePath, const std::string& statePath = {});

  // Every command block and every pause, one line each, over what the file held. Empty when
  // written, else why not.
  std::string Write(const emulated::EmulatedHost& host) const;

  // Removes the file when Prepare created it (a run refused before its trace was written).
  void DiscardIfNew();

  const std::string& Path() const { return m_path; }
  bool Wanted() const { return !m_path.empty(); }

 private:
  std::string m_path;
  bool m_created = false;
};

// Writes the text over what the file held, flushed and closed: empty when all of it reached
// the file, else the reason ("No space left on device").
std::string WriteTextFile(const std::string& path, const std::string& text);

// Every command the key decoded, one line each: its name, direction, length, status and decoded
// fields (the filler bytes of a block are not among them). Written alike by every program that
// holds the key itself, so that two runs can be compared command for command. Empty when
// written, else why not.
std::string WriteKeyLog(const emulated::EmulatedKey& key, const std::string& path);
