// A Linux kernel in miniature for the Linux host's tests: a sysfs and /dev tree in a scratch
// folder, and device calls answered by emulated devices (SG_IO, the block device's sectors, its
// ioctls), with the failures a real kernel gives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "key/emulated_device.h"
#include "host/linux/device_calls.h"
#include "host/linux/usb_disks.h"

namespace fake_linux {

struct FakeDisk {
  std::string name;  // "sdb"
  std::unique_ptr<emulated::EmulatedDevice> device;
  bool usb = true;
  int openError = 0;          // -errno every open answers
  int sgError = 0;            // -errno every SG_IO answers (EPERM: no CAP_SYS_RAWIO)
  bool writeProtectTab = false;  // the kernel knows the medium is read-only: a writable open gets -EROFS
  // After this many SG_IO commands the disk is gone: its sysfs entry goes, SG_IO answers
  // DID_NO_CONNECT and the sectors fail.
  std::optional<int> pulledAfter;
  // What reached the disk.
  int sgCommands = 0;
  int sectorWrites = 0;
  int flushes = 0;
  int exclusiveOpens = 0;
  bool pulled = false;
};

class FakeKernel : public linuxhost::DeviceCalls {
 public:
  explicit FakeKernel(std::filesystem::path root);

  linuxhost::SystemPaths Paths() const;
  // Adds a disk with its sysfs entry (USB or ATA ancestry, the INQUIRY texts, its size) and its
  // /dev node; partitions get entries of their own ("sdb1", ...).
  FakeDisk& AddDisk(const std::string& name, std::unique_ptr<emulated::EmulatedDevice> device, bool usb,
                    const std::string& vendor, const std::string& model, std::uint64_t sectors,
                    const std::vector<std::string>& partitions = {});
  FakeDisk& Disk(const std::string& name) { return *m_disks.at(name); }
  void AddMount(const std::string& majorMinor, const std::string& mountPoint);
  // The process's effective capabilities as /proc/self/status shows them: with CAP_SYS_RAWIO
  // (root, the default) or none.
  void SetRawIo(bool held);
  std::string Node(const std::string& name) const { return (m_root / "dev" / name).string(); }
  std::vector<std::string> attributesWritten;  // "path=text"

  // The nodes AddDisk made are device nodes with their numbers (plain files in the scratch
  // folder); anything else is what the real stat(2) finds.
  int Stat(const std::string& path, linuxhost::NodeKind* node) override;
  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* argument) override;
  long ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) override;
  long WriteAt(int fd, const void* buffer, std::size_t size, std::uint64_t offset) override;
  int Flush(int fd) override;
  int WriteAttribute(const std::string& path, const std::string& text) override;

 private:
  struct OpenFile {
    FakeDisk* disk = nullptr;
    bool writable = false;
    bool exclusive = false;
  };
  void AddNode(const std::string& name, linuxhost::NodeKind::Type type, const std::string& number);
  FakeDisk* DiskOf(int fd);
  void Pull(FakeDisk& disk);
  int SgIo(FakeDisk& disk, void* header);

  std::filesystem::path m_root;
  std::map<std::string, std::unique_ptr<FakeDisk>> m_disks;
  std::map<int, OpenFile> m_open;
  std::map<std::filesystem::path, linuxhost::NodeKind> m_nodes;  // by canonical path
  int m_nextFd = 10;
  int m_nextMinor = 0;
  std::string m_mountInfo;
};

}  // namespace fake_linux
