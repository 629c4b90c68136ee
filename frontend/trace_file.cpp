#include "frontend/trace_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "frontend/emulated_setup.h"
#include "key/stored_key.h"

namespace fs = std::filesystem;

namespace {

// What a file that is not plain is, for the refusal.
const char* KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory:
      return "a folder";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::character:
      return "a character device";
    default:
      return "not a plain file";
  }
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return !b.empty() && fs::equivalent(a, b, error);
}

// The devices a trace may go to: one that discards the lines, and one that is always full.
// By name, through links: the library compares no devices by identity.
bool IsSinkDevice(const std::string& path) {
  std::error_code error;
  const fs::path named = fs::canonical(path, error);
  return !error && (named == "/dev/null" || named == "/dev/full");
}

}  // namespace

std::string TraceFile::Prepare(const std::string& path, const std::string& imagePath, const std::string& statePath) {
  std::error_code error;
  // Through a symlink the file that counts is the one it names.
  const fs::file_status status = fs::status(path, error);
  const bool existed = fs::exists(status);
  // Looked at before it is opened: opening a FIFO waits for its reader.
  if (existed && !fs::is_regular_file(status) && !IsSinkDevice(path)) {
    return "--trace " + path + " is " + KindOf(status.type()) + ": the trace is written into a plain file";
  }
  {
    // Appending creates a missing file and leaves an existing one (perhaps the image) as it is.
    std::ofstream probe(path, std::ios::binary | std::ios::app);
    if (!probe) return "--trace " + path + " cannot be written: " + std::strerror(errno);
  }
  m_path = path;
  m_created = !existed;
  std::string refusal;
  if (SameFile(path, imagePath)) {
    refusal = "--trace " + path + " is the key's image " + imagePath + "; the trace needs a file of its own";
  } else if (SameFile(path, statePath)) {
    refusal = "--trace " + path + " is the key's state file " + statePath + "; the trace needs a file of its own";
  } else if (!statePath.empty() && SameFile(path, statePath + ".new")) {
    refusal = "--trace " + path + " is where the key's state file " + statePath +
              " is written first; the trace needs a file of its own";
  }
  if (!refusal.empty()) {
    DiscardIfNew();
    m_path.clear();
  }
  return refusal;
}

std::string TraceFile::Write(const emulated::EmulatedHost& host) const { return WriteTrace(host, m_path); }

void TraceFile::DiscardIfNew() {
  if (!m_created) return;
  std::error_code error;
  const fs::path created = fs::canonical(m_path, error);
  if (!error) fs::remove(created, error);
  m_created = false;
}

std::string WriteTextFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::strerror(errno);
  // A full file system shows in the write, in the flush of what the stream kept, or in the close.
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
  const int writeError = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written) return std::strerror(writeError);
  if (!closed) return std::strerror(errno);
  return {};
}

std::string WriteKeyLog(const emulated::EmulatedKey& key, const std::string& path) {
  std::ostringstream out;
  for (const emulated::KeyCommandRecord& record : key.Log()) {
    out << record.name << (record.dataIn ? " in " : " out ") << record.length << " status " << int{record.status};
    for (const auto& [field, value] : record.fields) out << ' ' << field << '=' << value;
    out << '\n';
  }
  return WriteTextFile(path, out.str());
}
