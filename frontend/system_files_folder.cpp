#include "frontend/system_files_folder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kNearJump = 0xE9;
constexpr std::uint8_t kShortJump = 0xEB;
constexpr std::uint64_t kLargestFatFile = 0xFFFFFFFFu;
constexpr int kFirstSystemFileResource = 150;

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The folder's entries named `name` in any case: a folder copied from a DOS disk may hold
// ibmbio.com. Empty, with *error set, when the folder cannot be read.
std::vector<fs::path> EntriesNamed(const fs::path& folder, const std::string& name, std::error_code* error) {
  std::vector<fs::path> found;
  fs::directory_iterator entries(folder, *error);
  for (; !*error && entries != fs::directory_iterator(); entries.increment(*error)) {
    if (SameNameIgnoringCase(entries->path().filename().string(), name)) found.push_back(entries->path());
  }
  return found;
}

std::string Names(const std::vector<fs::path>& paths) {
  std::string text;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == paths.size() ? " and " : ", ") + paths[i].filename().string();
  }
  return text;
}

}  // namespace

MappedFile::~MappedFile() { Release(); }

MappedFile::MappedFile(MappedFile&& other) noexcept
    : m_view(std::exchange(other.m_view, nullptr)), m_size(std::exchange(other.m_size, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    Release();
    m_view = std::exchange(other.m_view, nullptr);
    m_size = std::exchange(other.m_size, 0);
  }
  return *this;
}

void MappedFile::Release() {
  if (m_view == nullptr) return;
#if defined(_WIN32)
  ::UnmapViewOfFile(m_view);
#else
  ::munmap(m_view, static_cast<std::size_t>(m_size));
#endif
  m_view = nullptr;
  m_size = 0;
}

#if defined(_WIN32)
std::string MappedFile::Map(const std::string& path) {
  Release();
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "Windows error " + std::to_string(::GetLastError());
  LARGE_INTEGER size{};
  std::string error;
  if (::GetFileSizeEx(file, &size) == 0) {
    error = "Windows error " + std::to_string(::GetLastError());
  } else if (size.QuadPart > 0) {
    const HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* view = mapping != nullptr ? ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (view == nullptr) error = "Windows error " + std::to_string(::GetLastError());
    if (mapping != nullptr) ::CloseHandle(mapping);
    m_view = view;
    m_size = view != nullptr ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  }
  ::CloseHandle(file);
  return error;
}
#else
std::string MappedFile::Map(const std::string& path) {
  Release();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat status {};
  std::string error;
  if (::fstat(fd, &status) != 0) {
    error = std::strerror(errno);
  } else if (status.st_size > 0) {
    const auto size = static_cast<std::size_t>(status.st_size);
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (view == MAP_FAILED) {
      error = std::strerror(errno);
    } else {
      // Read once, front to back: pages behind the copy may go again at once.
      ::madvise(view, size, MADV_SEQUENTIAL);
      m_view = view;
      m_size = size;
    }
  }
  ::close(fd);
  return error;
}
#endif

std::string ReadSystemFilesFolder(const std::string& folder, SystemFilesFolder& files,
                                  const std::vector<RunFile>& runFiles) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) return "--system-files: " + folder + " is not a folder";
  if (fs::directory_iterator(folder, error); error) {
    return "--system-files: cannot read the folder " + folder + ": " + error.message();
  }
  const auto builtIn = SystemFileImages();
  std::string missing;
  for (std::size_t i = 0; i < kSystemFileCount; ++i) {
    const std::string name(builtIn[i].name);
    std::vector<fs::path> entries = EntriesNamed(folder, name, &error);
    if (error) return "--system-files: cannot read the folder " + folder + ": " + error.message();
    // The name as the key's root spells it is the one meant; of other spellings only one may stand.
    const auto exact = std::find_if(entries.begin(), entries.end(),
                                    [&](const fs::path& p) { return p.filename().string() == name; });
    if (exact == entries.end() && entries.size() > 1) {
      return "--system-files: " + folder + " holds " + Names(entries) + ", which differ only in case: keep one " +
             name;
    }
    const fs::path path = exact != entries.end() ? *exact : entries.empty() ? fs::path() : entries.front();
    if (exact != entries.end() && entries.size() > 1) {
      entries.erase(exact);
      files.warnings.push_back("the folder also holds " + Names(entries) + ", which is not copied: " + name +
                               " is taken as it is spelt");
    }
    if (path.empty() || !fs::is_regular_file(path, error)) {
      missing += (missing.empty() ? "" : ", ") + name;
      continue;
    }
    for (const RunFile& run : runFiles) {
      std::error_code ignored;
      if (!run.path.empty() && fs::equivalent(path, run.path, ignored)) {
        return "--system-files: " + path.string() + " is " + run.what + " (" + run.path +
               "); the run writes it, so it cannot be copied as " + name;
      }
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (!error && size > kLargestFatFile) {
      return "--system-files: " + path.string() + " is " + std::to_string(size) +
             " bytes; a FAT file holds at most " + std::to_string(kLargestFatFile);
    }
    if (const std::string reason = error ? error.message() : files.images[i].Map(path.string()); !reason.empty()) {
      return "--system-files: cannot read " + path.string() + ": " + reason;
    }
  }
  if (!missing.empty()) {
    return "--system-files: " + folder + " lacks " + missing +
           " (all three of IBMBIO.COM, IBMDOS.COM and COMMAND.COM are needed)";
  }
  const MappedFile& ibmbio = files.images[0];
  if (ibmbio.Size() < kLoadedIbmbioBytes) {
    return "--system-files: IBMBIO.COM is " + std::to_string(ibmbio.Size()) + " bytes, shorter than the " +
           std::to_string(kLoadedIbmbioBytes) + " (three sectors) that the boot sector loads";
  }
  // An empty file gets no cluster: IBMBIO.COM finds IBMDOS.COM by its first cluster, and DOS
  // stops without a command interpreter.
  for (std::size_t i = 1; i < kSystemFileCount; ++i) {
    if (files.images[i].Size() == 0) return "--system-files: " + std::string(builtIn[i].name) + " is empty";
  }

  // What can be seen without running the files: the boot sector hands over to a loader that
  // begins with a jump at the file's first byte, and finds IBMDOS.COM by that name.
  const std::uint8_t* head = ibmbio.Data();
  if (head[0] == 'M' && head[1] == 'Z') {
    files.warnings.push_back("IBMBIO.COM is an EXE image (an IO.SYS of MS-DOS 7?); the boot sector starts "
                             "a loader in its first three sectors, so it will not start");
  } else if (head[0] != kNearJump && head[0] != kShortJump) {
    files.warnings.push_back("IBMBIO.COM does not begin with a jump, as a loader the boot sector starts does");
  }
  for (const char* other : {"IO.SYS", "MSDOS.SYS"}) {
    if (!EntriesNamed(folder, other, &error).empty()) {
      files.warnings.push_back(std::string("the folder also holds ") + other +
                               ", which is not copied: the key starts the IBM names IBMBIO.COM and IBMDOS.COM");
    }
  }
  return {};
}

std::map<int, std::span<const std::uint8_t>> SystemFileResources(const SystemFilesFolder* folder) {
  std::map<int, std::span<const std::uint8_t>> resources;
  const auto builtIn = SystemFileImages();
  for (std::size_t i = 0; i < kSystemFileCount; ++i) {
    const int id = kFirstSystemFileResource + static_cast<int>(i);
    if (folder != nullptr) {
      resources[id] = {folder->images[i].Data(), static_cast<std::size_t>(folder->images[i].Size())};
    } else {
      resources[id] = builtIn[i].bytes;
    }
  }
  return resources;
}

std::string SystemFilesFitRefusal(const SystemFilesFolder& files, std::uint64_t clusters, std::uint64_t clusterBytes) {
  std::uint64_t needed = 0;
  for (const MappedFile& file : files.images) needed += (file.Size() + clusterBytes - 1) / clusterBytes;
  if (needed <= clusters) return {};
  const auto builtIn = SystemFileImages();
  std::string sizes;
  for (std::size_t i = 0; i < kSystemFileCount; ++i) {
    sizes += (i == 0 ? "" : i + 1 == kSystemFileCount ? " and " : ", ") + std::string(builtIn[i].name) + " " +
             std::to_string(files.images[i].Size());
  }
  return "--system-files: the files do not fit the key's volume: " + sizes + " bytes take " + std::to_string(needed) +
         " clusters of " + std::to_string(clusterBytes) + " bytes, and the volume has " + std::to_string(clusters);
}
