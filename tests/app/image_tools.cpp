#include <cstring>
#include "tests/app/image_tools.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "host/byte_order.h"

namespace image_tools {
namespace {

constexpr std::uint64_t kSector = 512;

struct FileDescriptor {
  int fd;
  explicit FileDescriptor(const fs::path& path, int flags, int mode = 0) : fd(open(path.c_str(), flags, mode)) {
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
  }
  ~FileDescriptor() { close(fd); }
};

// Calls `extent(offset, length)` for every stretch of the file within [from, to) that may hold
// data; holes are skipped.
template <typename Extent>
void ForEachDataExtent(int fd, std::uint64_t from, std::uint64_t to, Extent extent) {
  std::uint64_t at = from;
  while (at < to) {
    const off_t data = lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) return;  // nothing but holes from here on
      throw std::runtime_error("lseek SEEK_DATA failed");
    }
    if (static_cast<std::uint64_t>(data) >= to) return;
    off_t hole = lseek(fd, data, SEEK_HOLE);
    if (hole < 0) throw std::runtime_error("lseek SEEK_HOLE failed");
    const std::uint64_t end = std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), to);
    extent(static_cast<std::uint64_t>(data), end - static_cast<std::uint64_t>(data));
    at = end;
  }
}

}  // namespace

fs::path ScratchFolder(const fs::path& base, std::string name) {
  for (char& c : name) {
    if (c == '/') c = '-';  // parameterised test names carry a slash
  }
  const fs::path folder = base / (name + "-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

std::vector<std::uint8_t> ReadBytes(const fs::path& file, std::uint64_t offset, std::size_t count) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  if (!in) throw std::runtime_error("cannot read " + std::to_string(count) + " bytes of " + file.string());
  return bytes;
}

Partition FirstPartition(const fs::path& image) {
  const std::vector<std::uint8_t> mbr = ReadBytes(image, 0, kSector);
  const auto le32 = [&](std::size_t at) { return GetLittleEndian32(mbr.data() + at); };
  return Partition{le32(0x1C6), le32(0x1CA), mbr[0x1C2]};
}

void CopyPartition(const fs::path& image, const Partition& partition, const fs::path& to) {
  FileDescriptor in(image, O_RDONLY);
  fs::remove(to);
  FileDescriptor out(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::uint64_t from = partition.firstSector * kSector;
  const std::uint64_t size = partition.sectorCount * kSector;
  if (ftruncate(out.fd, static_cast<off_t>(size)) != 0) throw std::runtime_error("cannot size " + to.string());
  std::vector<char> chunk(1 << 20);
  ForEachDataExtent(in.fd, from, from + size, [&](std::uint64_t offset, std::uint64_t length) {
    for (std::uint64_t done = 0; done < length;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), length - done));
      if (pread(in.fd, chunk.data(), n, static_cast<off_t>(offset + done)) != static_cast<ssize_t>(n) ||
          pwrite(out.fd, chunk.data(), n, static_cast<off_t>(offset + done - from)) != static_cast<ssize_t>(n)) {
        throw std::runtime_error("cannot copy the partition to " + to.string());
      }
      done += n;
    }
  });
}

std::vector<std::string> FsckFindings(const std::string& fsck, const fs::path& volume) {
  const CommandResult run = RunCommand(Quote(fsck) + " -n " + Quote(volume.string()));
  std::vector<std::string> findings;
  for (const std::string& line : Lines(run.output)) {
    // The version banner and the closing summary report nothing.
    if (line.empty() || line.rfind("fsck.fat ", 0) == 0 || line.find(" files, ") != std::string::npos) continue;
    findings.push_back(line);
  }
  if (run.exitCode != 0 && findings.empty()) findings.push_back("fsck.fat exited with " + std::to_string(run.exitCode));
  return findings;
}

std::vector<std::string> WithoutHighByteLabelReport(std::vector<std::string> findings, const std::string& label) {
  const bool highByte = std::any_of(label.begin(), label.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  if (!highByte) return findings;
  const auto reports = [](const std::string& line, const char* head, const char* tail) {
    return line.rfind(head, 0) == 0 && line.size() > std::strlen(tail) &&
           line.compare(line.size() - std::strlen(tail), std::string::npos, tail) == 0;
  };
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < findings.size(); ++i) {
    const bool root = reports(findings[i], "Volume label '", "' stored in root directory is not valid.") &&
                      i + 1 < findings.size() && findings[i + 1] == "  Auto-removing label.";
    const bool boot = reports(findings[i], "Label '", "' stored in boot sector is not valid.") && i + 1 < findings.size() &&
                      findings[i + 1] == "  Auto-removing label from boot sector.";
    if (root || boot) {
      ++i;
      continue;
    }
    kept.push_back(findings[i]);
  }
  if (kept == std::vector<std::string>{"Leaving filesystem unchanged."}) kept.clear();
  return kept;
}

bool AllZero(const fs::path& file) {
  FileDescriptor in(file, O_RDONLY);
  bool zero = true;
  std::vector<char> chunk(1 << 20);
  ForEachDataExtent(in.fd, 0, fs::file_size(file), [&](std::uint64_t offset, std::uint64_t length) {
    for (std::uint64_t done = 0; zero && done < length;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), length - done));
      if (pread(in.fd, chunk.data(), n, static_cast<off_t>(offset + done)) != static_cast<ssize_t>(n)) {
        throw std::runtime_error("cannot read " + file.string());
      }
      for (std::size_t i = 0; i < n; ++i) {
        if (chunk[i] != 0) zero = false;
      }
      done += n;
    }
  });
  return zero;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace image_tools
