#include "cli/trace_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/key_options.h"
#include "host/emulated/stored_key.h"

namespace fs = std::filesystem;

std::string TraceFile::Prepare(const std::string& path, const std::string& imagePath) {
  std::error_code error;
  // Through a symlink the file that counts is the one it names.
  const bool existed = fs::exists(fs::status(path, error));
  {
    // Appending creates a missing file and leaves an existing one (perhaps the image) as it is.
    std::ofstream probe(path, std::ios::binary | std::ios::app);
    if (!probe) return "--trace " + path + " cannot be written: " + std::strerror(errno);
  }
  m_path = path;
  m_created = !existed;
  std::string taken;
  const std::string state = emulated::StatePathOfImage(imagePath);
  if (fs::equivalent(path, imagePath, error)) {
    taken = "the key's image " + imagePath;
  } else if (fs::equivalent(path, state, error)) {
    taken = "the key's state file " + state;
  } else if (fs::equivalent(path, state + ".new", error)) {
    taken = "where the key's state file " + state + " is written first";
  }
  if (taken.empty()) return {};
  DiscardIfNew();
  m_path.clear();
  return "--trace " + path + " is " + taken + "; the trace needs a file of its own";
}

bool TraceFile::Write(const emulated::EmulatedHost& host) const { return WriteTrace(host, m_path); }

void TraceFile::DiscardIfNew() {
  if (!m_created) return;
  std::error_code error;
  const fs::path created = fs::canonical(m_path, error);
  if (!error) fs::remove(created, error);
  m_created = false;
}

bool WriteKeyLog(const emulated::EmulatedKey& key, const std::string& path) {
  std::ofstream out(path);
  for (const emulated::KeyCommandRecord& record : key.Log()) {
    out << record.name << (record.dataIn ? " in " : " out ") << record.length << " status " << int{record.status};
    for (const auto& [field, value] : record.fields) out << ' ' << field << '=' << value;
    out << '\n';
  }
  return static_cast<bool>(out);
}
