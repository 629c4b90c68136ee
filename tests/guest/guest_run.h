// Running commands in the Linux guest (scripts/guest-run) from tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace guest_test {

namespace fs = std::filesystem;

struct GuestResult {
  int exitCode = -1;
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  double seconds = 0;
};

// Runs guest-run with the given options and COMMAND (each a single word) and collects its
// streams apart.
GuestResult GuestRun(const std::vector<std::string>& options, const std::vector<std::string>& command,
                     const std::string& environment = "");

// A fresh folder under the temporary directory, named after the running test.
fs::path ScratchFolder();

// An image of `bytes` whose first `randomSectors` sectors are random; returns those sectors.
std::string WriteRandomImage(const fs::path& path, std::size_t bytes, std::size_t randomSectors = 1);

std::string ReadBytes(const fs::path& path, std::size_t offset, std::size_t length);

// The processes whose command line mentions `text` (a scratch path unique to the test): none may
// be left once guest-run has returned.
std::vector<std::string> ProcessesMentioning(const std::string& text);

// Lines of `text`, without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace guest_test
