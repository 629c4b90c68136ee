// The three system files taken from a folder at run time instead of the images built in. The
// emulated host's resources then serve them, so the program itself copies them as it always does.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "boot/boot_images.h"

// A file's bytes mapped, not read: a system file as large as the volume costs no memory of the
// program's own, and its pages are read only as the copy reaches them.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the whole file; an empty file maps to no bytes. Empty on success, else the reason.
  std::string Map(const std::string& path);

  const std::uint8_t* Data() const { return static_cast<const std::uint8_t*>(m_view); }
  std::uint64_t Size() const { return m_size; }

 private:
  void Release();

  void* m_view = nullptr;
  std::uint64_t m_size = 0;
};

struct SystemFilesFolder {
  // IBMBIO.COM, IBMDOS.COM and COMMAND.COM, in the order of SystemFileImages().
  std::array<MappedFile, kSystemFileCount> images;
  // Reasons the files may not start: other names, another loading protocol.
  std::vector<std::string> warnings;
};

// The boot sector loads this much of IBMBIO.COM; a shorter file cannot start.
inline constexpr std::size_t kLoadedIbmbioBytes = 3 * 512;

// A file the run itself reads or writes besides the system files (the key's image and state, the
// trace), which no system file may be: copied onto the key, it would be changed while it is read.
struct RunFile {
  std::string path;
  std::string what;  // "the key's image", ...
};

// Reads the folder. Empty on success, else why the folder is refused: a file missing or
// unreadable, two files whose names differ only in case, an IBMBIO.COM shorter than the three
// sectors the boot sector loads, an empty IBMDOS.COM or COMMAND.COM, a file of 4 GB or more
// (no FAT file holds it), or a file that is one of the run's own.
std::string ReadSystemFilesFolder(const std::string& folder, SystemFilesFolder& files,
                                  const std::vector<RunFile>& runFiles = {});

// The three system files as the program's RCDATA resources 150 to 152, by id: the built-in ones,
// or the folder's mappings (which must outlive every use of the bytes).
std::map<int, std::span<const std::uint8_t>> SystemFileResources(const SystemFilesFolder* folder = nullptr);

// Empty when the three files fit a fresh volume of `clusters` clusters of `clusterBytes` bytes,
// else why they do not.
std::string SystemFilesFitRefusal(const SystemFilesFolder& files, std::uint64_t clusters, std::uint64_t clusterBytes);
