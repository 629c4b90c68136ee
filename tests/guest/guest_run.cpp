#include "tests/guest/guest_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "tests/support/shell_command.h"

namespace guest_test {

using test_support::Quote;
using test_support::RunCommand;

namespace {

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

GuestResult GuestRun(const std::vector<std::string>& options, const std::vector<std::string>& command,
                     const std::string& environment) {
  const fs::path streams = ScratchFolder() / "streams";
  fs::create_directories(streams);
  // Grouped, so that the redirections here hold against the one RunCommand adds.
  std::string line = "{ STELVARION_GUEST_DIR=" + Quote(STELVARION_GUEST_DIR) + " " + environment +
                     " bash " + Quote(STELVARION_GUEST_RUN);
  for (const std::string& option : options) line += " " + Quote(option);
  line += " --";
  for (const std::string& word : command) line += " " + Quote(word);
  line += " >" + Quote((streams / "out").string()) + " 2>" + Quote((streams / "err").string()) + "; }";

  const auto start = std::chrono::steady_clock::now();
  GuestResult result;
  result.exitCode = RunCommand(line).exitCode;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.out = ReadWhole(streams / "out");
  result.err = ReadWhole(streams / "err");
  fs::remove_all(streams);
  return result;
}

fs::path ScratchFolder() {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = "stelvarion-guest-";
  name += test != nullptr ? test->test_suite_name() : "suite";
  name += "-" + std::to_string(getpid());
  const fs::path folder = fs::temp_directory_path() / name;
  fs::create_directories(folder);
  return folder;
}

std::string WriteRandomImage(const fs::path& path, std::size_t bytes, std::size_t randomSectors) {
  std::mt19937 random(std::random_device{}());
  std::string head(randomSectors * 512, '\0');
  std::ranges::generate(head, [&] { return static_cast<char>(random() & 0xFF); });
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
  }
  fs::resize_file(path, bytes);
  return head;
}

std::string ReadBytes(const fs::path& path, std::size_t offset, std::size_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(length, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::vector<std::string> ProcessesMentioning(const std::string& text) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (!std::ranges::all_of(pid, [](char c) { return c >= '0' && c <= '9'; })) continue;
    std::string commandLine = ReadWhole(entry.path() / "cmdline");
    std::ranges::replace(commandLine, '\0', ' ');
    if (commandLine.find(text) != std::string::npos) found.push_back(pid + ": " + commandLine);
  }
  return found;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace guest_test
