// The Linux calls the host makes on a device node. They go through this one interface so that
// tests can stand a fake kernel in (an SG_IO responder over an emulated key); the real one is
// RealDeviceCalls. Every call answers as the system call does, but with -errno for a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace linuxhost {

// What a path names, as stat(2) finds it through links: a device node and its number, or
// something else.
struct NodeKind {
  enum class Type : std::uint8_t { kOther, kBlock, kCharacter };
  Type type = Type::kOther;
  std::string number;  // "8:16", as sysfs writes a device's number; empty for kOther
};

class DeviceCalls {
 public:
  virtual ~DeviceCalls() = default;
  // stat(path): 0 with what it names, or -errno.
  virtual int Stat(const std::string& path, NodeKind* node) = 0;
  // open(path, flags | O_CLOEXEC): a descriptor, or -errno.
  virtual int Open(const std::string& path, int flags) = 0;
  virtual int Close(int fd) = 0;
  // ioctl(fd, request, argument): 0 (or the call's non-negative answer), or -errno.
  virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
  // pread / pwrite of the whole size: the bytes moved, or -errno.
  virtual long ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) = 0;
  virtual long WriteAt(int fd, const void* buffer, std::size_t size, std::uint64_t offset) = 0;
  // fsync(fd), then drops the clean pages the kernel caches for the descriptor's device
  // (posix_fadvise DONTNEED), so that a read sees what commands wrote past the cache.
  virtual int Flush(int fd) = 0;
  // Writes a short text into a sysfs attribute (such as a disk's device/rescan): 0 or -errno.
  virtual int WriteAttribute(const std::string& path, const std::string& text) = 0;
};

class RealDeviceCalls final : public DeviceCalls {
 public:
  int Stat(const std::string& path, NodeKind* node) override;
  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* argument) override;
  long ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) override;
  long WriteAt(int fd, const void* buffer, std::size_t size, std::uint64_t offset) override;
  int Flush(int fd) override;
  int WriteAttribute(const std::string& path, const std::string& text) override;
};

}  // namespace linuxhost
