#include "key/image_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#include <sys/locking.h>
#else
#include <unistd.h>
#endif

namespace emulated {

namespace {

std::string Reason() { return std::strerror(errno); }

#if defined(_WIN32)
int OpenExisting(const std::string& path) { return ::_open(path.c_str(), _O_RDWR | _O_BINARY); }
int CreateNew(const std::string& path) {
  return ::_open(path.c_str(), _O_RDWR | _O_BINARY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
}
void CloseFd(int fd) { ::_close(fd); }
bool LockFirstByte(int fd) {
  if (::_lseeki64(fd, 0, SEEK_SET) != 0) return false;
  if (::_locking(fd, _LK_NBLCK, 1) == 0) return true;
  // On a file just opened, a refused lock is another holder's; wine's runtime leaves errno as it
  // was, so say so here.
  errno = EACCES;
  return false;
}
void UnlockFirstByte(int fd) {
  if (::_lseeki64(fd, 0, SEEK_SET) == 0) ::_locking(fd, _LK_UNLCK, 1);
}
#else
int OpenExisting(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); }
int CreateNew(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, 0666); }
void CloseFd(int fd) { ::close(fd); }
// An open-file-description lock: it belongs to this open file, so a second open of the image,
// even in this process, is refused as well; and it goes when the file is closed or the process
// dies, however it dies.
bool LockFirstByte(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}
void UnlockFirstByte(int) {}
#endif

bool SameFile(int fd, const std::string& path) {
#if defined(_WIN32)
  (void)fd;
  (void)path;
  return true;  // a file open on Windows cannot be removed or replaced under it
#else
  struct stat opened {}, named {};
  return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
#endif
}

}  // namespace

ImageFile::ImageFile(const std::string& path) : m_path(path) {
  namespace fs = std::filesystem;
  // A run that created the file and gave up removes it again; one that opened it in between
  // finds its lock on a file that has no name any more and tries again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
      throw std::runtime_error("the key image " + path + " is not a regular file");
    }
    m_created = false;
    m_fd = OpenExisting(path);
    if (m_fd < 0 && errno == ENOENT) {
      m_fd = CreateNew(path);
      if (m_fd < 0 && errno == EEXIST && fs::is_symlink(fs::symlink_status(path, error))) {
        // A link to nothing: a file at the place it names would be a key nobody asked for.
        throw std::runtime_error("the key image " + path + " is a symbolic link to " +
                                 fs::read_symlink(path, error).string() + ", which does not exist");
      }
      if (m_fd < 0 && errno == EEXIST) continue;
      m_created = m_fd >= 0;
    }
    if (m_fd < 0) throw std::runtime_error("cannot open the key image " + path + ": " + Reason());
    if (!LockFirstByte(m_fd)) {
      const int saved = errno;
      DiscardIfCreated();
      if (saved == EAGAIN || saved == EACCES || saved == EWOULDBLOCK) {
        throw ImageInUse("the key in " + path + " is in use by another program; wait for it to finish");
      }
      errno = saved;
      throw std::runtime_error("cannot lock the key image " + path + ": " + Reason());
    }
    if (SameFile(m_fd, path)) return;
    Close();
  }
  throw std::runtime_error("cannot open the key image " + path + ": it keeps being replaced");
}

ImageFile::~ImageFile() { Close(); }

void ImageFile::Close() {
  if (m_fd < 0) return;
  UnlockFirstByte(m_fd);
  CloseFd(m_fd);
  m_fd = -1;
}

void ImageFile::DiscardIfCreated() {
  Close();
  if (!m_created) return;
  std::error_code ignored;
  std::filesystem::remove(m_path, ignored);
  m_created = false;
}

std::uint64_t ImageFile::Size() const {
#if defined(_WIN32)
  const __int64 size = ::_filelengthi64(m_fd);
  return size < 0 ? 0 : static_cast<std::uint64_t>(size);
#else
  struct stat st {};
  return ::fstat(m_fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
#endif
}

void ImageFile::GrowTo(std::uint64_t bytes) {
  if (Size() >= bytes) return;
#if defined(_WIN32)
  // One zero byte at the end: the C runtime has no 64-bit truncate that Windows XP offers.
  const char zero = 0;
  const bool grown = ::_lseeki64(m_fd, static_cast<__int64>(bytes - 1), SEEK_SET) >= 0 && ::_write(m_fd, &zero, 1) == 1;
#else
  const bool grown = ::ftruncate(m_fd, static_cast<off_t>(bytes)) == 0;
#endif
  if (!grown) throw std::runtime_error("cannot grow the key image " + m_path + ": " + Reason());
}

bool ImageFile::ReadAt(std::uint64_t offset, std::uint64_t count, std::uint8_t* out) {
  while (count > 0) {
#if defined(_WIN32)
    if (::_lseeki64(m_fd, static_cast<__int64>(offset), SEEK_SET) < 0) return false;
    const int got = ::_read(m_fd, out, static_cast<unsigned>(std::min<std::uint64_t>(count, 1u << 20)));
#else
    const ssize_t got = ::pread(m_fd, out, static_cast<std::size_t>(std::min<std::uint64_t>(count, 1u << 20)),
                                static_cast<off_t>(offset));
#endif
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      m_failure = "cannot read the key image " + m_path + ": " + (got == 0 ? "it ends early" : Reason());
      return false;
    }
    offset += static_cast<std::uint64_t>(got);
    out += got;
    count -= static_cast<std::uint64_t>(got);
  }
  return true;
}

bool ImageFile::WriteAt(std::uint64_t offset, std::uint64_t count, const std::uint8_t* in) {
  while (count > 0) {
#if defined(_WIN32)
    if (::_lseeki64(m_fd, static_cast<__int64>(offset), SEEK_SET) < 0) return false;
    const int put = ::_write(m_fd, in, static_cast<unsigned>(std::min<std::uint64_t>(count, 1u << 20)));
#else
    const ssize_t put = ::pwrite(m_fd, in, static_cast<std::size_t>(std::min<std::uint64_t>(count, 1u << 20)),
                                 static_cast<off_t>(offset));
#endif
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      m_failure = "cannot write the key image " + m_path + ": " + (put == 0 ? std::strerror(ENOSPC) : Reason());
      return false;
    }
    offset += static_cast<std::uint64_t>(put);
    in += put;
    count -= static_cast<std::uint64_t>(put);
  }
  return true;
}

}  // namespace emulated
