// Writes the starting corpus of each fuzz target: its generated seeds, and every saved input of
// the regression suite decoded from its hexadecimal text, one file each.
// Usage: stelvarion-fuzz-seeds OUTPUT_DIR SAVED_INPUTS_DIR [TARGET...]
//        stelvarion-fuzz-seeds --list    (each target's name and longest input, one a line)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "fuzz/fuzz_targets.h"

namespace {

bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--list") {
    for (const fuzz::FuzzTarget& target : fuzz::AllTargets()) std::printf("%s %zu\n", target.name, target.maxLength);
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR SAVED_INPUTS_DIR [TARGET...]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path output = argv[1];
  const std::filesystem::path saved = argv[2];
  std::vector<std::string> wanted(argv + 3, argv + argc);
  for (const std::string& name : wanted) {
    if (fuzz::FindTarget(name) == nullptr) {
      std::fprintf(stderr, "no fuzz target named %s\n", name.c_str());
      return 2;
    }
  }
  for (const fuzz::FuzzTarget& target : fuzz::AllTargets()) {
    if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), target.name) == wanted.end()) continue;
    const std::filesystem::path folder = output / target.name;
    std::filesystem::create_directories(folder);
    int count = 0;
    for (const std::vector<std::uint8_t>& seed : target.seeds()) {
      if (!WriteFile(folder / ("seed-" + std::to_string(count++)), seed)) {
        std::fprintf(stderr, "cannot write into %s\n", folder.string().c_str());
        return 1;
      }
    }
    const std::filesystem::path cases = saved / target.name;
    if (std::filesystem::is_directory(cases)) {
      for (const auto& entry : std::filesystem::directory_iterator(cases)) {
        if (entry.path().extension() != ".hex") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        std::vector<std::uint8_t> bytes;
        if (!fuzz::ParseHexText(text.str(), &bytes)) {
          std::fprintf(stderr, "%s is not hexadecimal text\n", entry.path().string().c_str());
          return 1;
        }
        WriteFile(folder / ("saved-" + entry.path().stem().string()), bytes);
        ++count;
      }
    }
    std::printf("%s: %d starting inputs\n", target.name, count);
  }
  return 0;
}
