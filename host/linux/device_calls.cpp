#include "host/linux/device_calls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace linuxhost {
namespace {

int Answer(long result) { return result < 0 ? -errno : static_cast<int>(result); }

}  // namespace

int RealDeviceCalls::Stat(const std::string& path, NodeKind* node) {
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) return -errno;
  *node = NodeKind{};
  if (S_ISBLK(info.st_mode) || S_ISCHR(info.st_mode)) {
    node->type = S_ISBLK(info.st_mode) ? NodeKind::Type::kBlock : NodeKind::Type::kCharacter;
    node->number = std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
  }
  return 0;
}

int RealDeviceCalls::Open(const std::string& path, int flags) {
  return Answer(::open(path.c_str(), flags | O_CLOEXEC));
}

int RealDeviceCalls::Close(int fd) { return Answer(::close(fd)); }

int RealDeviceCalls::Ioctl(int fd, unsigned long request, void* argument) {
  return Answer(::ioctl(fd, request, argument));
}

// A block device may move less than asked (at its end, or after a signal): the rest is asked for
// again, and the end of the device ends the loop.
long RealDeviceCalls::ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done, size - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

long RealDeviceCalls::WriteAt(int fd, const void* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, static_cast<const char*>(buffer) + done, size - done,
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

int RealDeviceCalls::Flush(int fd) {
  if (::fsync(fd) != 0) return -errno;
  const int advice = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  return -advice;
}

int RealDeviceCalls::WriteAttribute(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int error = n < 0 ? -errno : 0;
  ::close(fd);
  return error;
}

}  // namespace linuxhost
