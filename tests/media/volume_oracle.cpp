#include "tests/media/volume_oracle.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "key/flash_image.h"

namespace media_test {

void CopyOutSectors(emulated::EmulatedKey& key, std::uint64_t first, std::uint64_t count, const fs::path& to) {
  auto* memory = dynamic_cast<emulated::MemoryFlashImage*>(&key.Flash());
  if (memory == nullptr) throw std::runtime_error("the key's flash is not in memory");
  fs::remove(to);
  { std::ofstream create(to, std::ios::binary); }
  fs::resize_file(to, count * emulated::kSectorSize);  // a hole reads as zeros
  std::fstream out(to, std::ios::binary | std::ios::in | std::ios::out);
  const auto& written = memory->WrittenSectors();
  for (auto it = written.lower_bound(first); it != written.end() && it->first < first + count; ++it) {
    out.seekp(static_cast<std::streamoff>((it->first - first) * emulated::kSectorSize));
    out.write(reinterpret_cast<const char*>(it->second.data()), emulated::kSectorSize);
  }
  if (!out) throw std::runtime_error("cannot write " + to.string());
}

namespace {

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

}  // namespace

FsckReport CheckFileSystem(const std::string& fsckTool, const fs::path& image) {
  FsckReport report;
  const CommandResult plain = RunCommand(fsckTool + " -n " + Quote(image.string()));
  report.exitCode = plain.exitCode;
  report.output = plain.output;
  for (const std::string& line : Lines(plain.output)) {
    // The version banner and the closing summary report nothing.
    if (line.empty() || line.starts_with("fsck.fat ") || line.find(" files, ") != std::string::npos ||
        line == "Leaving filesystem unchanged.") {
      continue;
    }
    report.findings.push_back(line);
  }
  if (report.exitCode != 0 && report.findings.empty()) {
    report.findings.push_back("fsck.fat exited with " + std::to_string(report.exitCode));
  }

  // The verbose listing tells how fsck.fat reads the volume: FAT width and cluster count.
  const CommandResult verbose = RunCommand(fsckTool + " -n -v " + Quote(image.string()));
  const std::regex bits(R"((\d+) bit entries)");
  const std::regex clusters(R"(^\s*(\d+) data clusters)");
  for (const std::string& line : Lines(verbose.output)) {
    std::smatch match;
    if (std::regex_search(line, match, bits)) report.fatBits = std::stoi(match[1]);
    if (std::regex_search(line, match, clusters)) report.dataClusters = static_cast<std::uint32_t>(std::stoul(match[1]));
  }
  return report;
}

}  // namespace media_test
