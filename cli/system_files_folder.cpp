#include "cli/system_files_folder.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kNearJump = 0xE9;
constexpr std::uint8_t kShortJump = 0xEB;

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The folder's entry of this name, in any case: a folder copied from a DOS disk may hold
// ibmbio.com.
fs::path FindEntry(const fs::path& folder, const std::string& name) {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    if (SameNameIgnoringCase(entry.path().filename().string(), name)) return entry.path();
  }
  return {};
}

}  // namespace

std::string ReadSystemFilesFolder(const std::string& folder, SystemFilesFolder& files) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) return "--system-files: " + folder + " is not a folder";
  if (fs::directory_iterator(folder, error); error) {
    return "--system-files: cannot read the folder " + folder + ": " + error.message();
  }
  const auto builtIn = SystemFileImages();
  std::string missing;
  for (std::size_t i = 0; i < kSystemFileCount; ++i) {
    const std::string name(builtIn[i].name);
    const fs::path path = FindEntry(folder, name);
    if (path.empty() || !fs::is_regular_file(path, error)) {
      missing += (missing.empty() ? "" : ", ") + name;
      continue;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    std::ifstream in(path, std::ios::binary);
    files.images[i].resize(error ? 0 : static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(files.images[i].data()), static_cast<std::streamsize>(files.images[i].size()));
    if (error || !in) return "--system-files: cannot read " + path.string();
  }
  if (!missing.empty()) {
    return "--system-files: " + folder + " lacks " + missing +
           " (all three of IBMBIO.COM, IBMDOS.COM and COMMAND.COM are needed)";
  }
  const std::vector<std::uint8_t>& ibmbio = files.images[0];
  if (ibmbio.size() < kLoadedIbmbioBytes) {
    return "--system-files: IBMBIO.COM is " + std::to_string(ibmbio.size()) + " bytes, shorter than the " +
           std::to_string(kLoadedIbmbioBytes) + " (three sectors) that the boot sector loads";
  }

  // What can be seen without running the files: the boot sector hands over to a loader that
  // begins with a jump at the file's first byte, and finds IBMDOS.COM by that name.
  if (ibmbio[0] == 'M' && ibmbio[1] == 'Z') {
    files.warnings.push_back("IBMBIO.COM is an EXE image (an IO.SYS of MS-DOS 7?); the boot sector starts "
                             "a loader in its first three sectors, so it will not start");
  } else if (ibmbio[0] != kNearJump && ibmbio[0] != kShortJump) {
    files.warnings.push_back("IBMBIO.COM does not begin with a jump, as a loader the boot sector starts does");
  }
  for (const char* other : {"IO.SYS", "MSDOS.SYS"}) {
    if (!FindEntry(folder, other).empty()) {
      files.warnings.push_back(std::string("the folder also holds ") + other +
                               ", which is not copied: the key starts the IBM names IBMBIO.COM and IBMDOS.COM");
    }
  }
  return {};
}
