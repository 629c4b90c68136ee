// An emulated key's image file, opened for one run and locked for as long as it is open, so that
// a second program cannot write the same key at the same time.
//
// The lock is a write lock on the image's first byte: an open-file-description lock on Linux,
// a LockFile range lock (through the C runtime's _locking) on Windows. Wine maps the latter onto
// POSIX record locks, which conflict with the former, so a Windows program under wine and a
// Linux program exclude each other too.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace emulated {

// Another run holds the image.
class ImageInUse : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ImageFile {
 public:
  // Opens the file for reading and writing, creating it empty when it is missing, and locks it.
  // Throws ImageInUse when another run holds it, std::runtime_error when it cannot be used.
  explicit ImageFile(const std::string& path);
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  const std::string& Path() const { return m_path; }
  // True when this run made the file.
  bool Created() const { return m_created; }
  std::uint64_t Size() const;
  // Grows the file to `bytes`, leaving a hole: an image of gigabytes costs only what is written.
  void GrowTo(std::uint64_t bytes);
  bool ReadAt(std::uint64_t offset, std::uint64_t count, std::uint8_t* out);
  bool WriteAt(std::uint64_t offset, std::uint64_t count, const std::uint8_t* in);
  // The last failed read or write, with the system's reason.
  const std::string& LastFailure() const { return m_failure; }
  // Closes the file and, when this run created it, removes it again.
  void DiscardIfCreated();

 private:
  void Close();

  std::string m_path;
  int m_fd = -1;
  bool m_created = false;
  std::string m_failure;
};

}  // namespace emulated
