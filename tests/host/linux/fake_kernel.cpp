#include "tests/host/linux/fake_kernel.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "key/emulated_key.h"
#include "host/emulated/visible_sectors.h"

namespace fs = std::filesystem;

namespace fake_linux {
namespace {

constexpr std::uint16_t kDidNoConnect = 0x01;
constexpr std::uint16_t kDriverSense = 0x08;
constexpr std::size_t kSectorSize = 512;

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << '\n';
}

}  // namespace

FakeKernel::FakeKernel(fs::path root) : m_root(std::move(root)) {
  fs::create_directories(m_root / "sys" / "block");
  fs::create_directories(m_root / "dev");
  Write(m_root / "mountinfo", "22 1 0:21 / /proc rw,relatime - proc proc rw");
  m_mountInfo = "22 1 0:21 / /proc rw,relatime - proc proc rw\n";
  SetRawIo(true);
}

linuxhost::SystemPaths FakeKernel::Paths() const {
  linuxhost::SystemPaths paths;
  paths.sysRoot = (m_root / "sys").string();
  paths.devRoot = (m_root / "dev").string();
  paths.mountInfo = (m_root / "mountinfo").string();
  paths.processStatus = (m_root / "status").string();
  return paths;
}

FakeDisk& FakeKernel::AddDisk(const std::string& name, std::unique_ptr<emulated::EmulatedDevice> device, bool usb,
                              const std::string& vendor, const std::string& model, std::uint64_t sectors,
                              const std::vector<std::string>& partitions) {
  const int host = static_cast<int>(m_disks.size()) + 2;
  const std::string scsi = std::to_string(host) + ":0:0:0";
  // A USB disk's SCSI device sits below its USB device and interface; an ATA disk's does not.
  const fs::path parent = usb ? m_root / "sys/devices/pci0000:00/0000:00:04.0/usb1" / ("1-" + std::to_string(host))
                              : m_root / "sys/devices/pci0000:00/0000:00:01.1/ata1";
  if (usb) {
    Write(parent / "idVendor", "1d6b");
    Write(parent / "idProduct", "0104");
  }
  const fs::path scsiDir = parent / (usb ? "1-1:1.0" : "") / ("host" + std::to_string(host)) /
                           ("target" + std::to_string(host) + ":0:0") / scsi;
  Write(scsiDir / "vendor", vendor + std::string(8 - std::min<std::size_t>(8, vendor.size()), ' '));
  Write(scsiDir / "model", model);
  Write(scsiDir / "rev", "2.45");
  const std::string generic = "sg" + std::to_string(host);
  Write(scsiDir / "scsi_generic" / generic / "dev", "21:" + std::to_string(host));
  AddNode(generic, linuxhost::NodeKind::Type::kCharacter, "21:" + std::to_string(host));
  const fs::path block = m_root / "sys/block" / name;
  fs::create_directories(block);
  fs::create_directory_symlink(scsiDir, block / "device");
  Write(block / "dev", "8:" + std::to_string(m_nextMinor));
  Write(block / "size", std::to_string(sectors));
  Write(block / "ro", "0");
  AddNode(name, linuxhost::NodeKind::Type::kBlock, "8:" + std::to_string(m_nextMinor));
  int minor = m_nextMinor;
  for (const std::string& partition : partitions) {
    Write(block / partition / "partition", std::to_string(++minor - m_nextMinor));
    Write(block / partition / "dev", "8:" + std::to_string(minor));
    AddNode(partition, linuxhost::NodeKind::Type::kBlock, "8:" + std::to_string(minor));
  }
  m_nextMinor += 16;
  auto disk = std::make_unique<FakeDisk>();
  disk->name = name;
  disk->device = std::move(device);
  disk->usb = usb;
  FakeDisk& added = *disk;
  m_disks[name] = std::move(disk);
  return added;
}

void FakeKernel::SetRawIo(bool held) {
  // Root's full set, or an ordinary user's empty one.
  std::ofstream(m_root / "status") << "Name:\tstelvarion-boot\nCapInh:\t0000000000000000\nCapEff:\t"
                                   << (held ? "000001ffffffffff" : "0000000000000000") << "\n";
}

void FakeKernel::AddMount(const std::string& majorMinor, const std::string& mountPoint) {
  m_mountInfo += "40 22 " + majorMinor + " / " + mountPoint + " rw,relatime - vfat /dev/x rw\n";
  std::ofstream(m_root / "mountinfo") << m_mountInfo;
}

void FakeKernel::AddNode(const std::string& name, linuxhost::NodeKind::Type type, const std::string& number) {
  std::ofstream(m_root / "dev" / name) << "";
  m_nodes[fs::canonical(m_root / "dev" / name)] = linuxhost::NodeKind{type, number};
}

int FakeKernel::Stat(const std::string& path, linuxhost::NodeKind* node) {
  std::error_code error;
  const fs::path named = fs::canonical(path, error);
  if (const auto it = m_nodes.find(named); !error && it != m_nodes.end()) {
    *node = it->second;
    return 0;
  }
  return linuxhost::RealDeviceCalls().Stat(path, node);
}

FakeDisk* FakeKernel::DiskOf(int fd) {
  auto it = m_open.find(fd);
  return it == m_open.end() ? nullptr : it->second.disk;
}

void FakeKernel::Pull(FakeDisk& disk) {
  disk.pulled = true;
  fs::remove_all(m_root / "sys/block" / disk.name);
}

int FakeKernel::Open(const std::string& path, int flags) {
  const std::string name = fs::path(path).filename().string();
  auto it = m_disks.find(name);
  if (it == m_disks.end() || it->second->pulled) return -ENOENT;
  FakeDisk& disk = *it->second;
  if (disk.openError != 0) return disk.openError;
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  if (writable && disk.writeProtectTab) return -EROFS;
  const bool exclusive = (flags & O_EXCL) != 0;
  for (const auto& [fd, file] : m_open) {
    if (file.disk == &disk && (file.exclusive || exclusive)) return -EBUSY;
  }
  if (exclusive) ++disk.exclusiveOpens;
  m_open[m_nextFd] = OpenFile{&disk, writable, exclusive};
  return m_nextFd++;
}

int FakeKernel::Close(int fd) { return m_open.erase(fd) == 1 ? 0 : -EBADF; }

int FakeKernel::SgIo(FakeDisk& disk, void* argument) {
  auto* header = static_cast<sg_io_hdr_t*>(argument);
  if (header->interface_id != 'S') return -ENOSYS;
  if (disk.sgError != 0) return disk.sgError;
  if (disk.pulledAfter && disk.sgCommands >= *disk.pulledAfter && !disk.pulled) Pull(disk);
  ++disk.sgCommands;
  header->status = 0;
  header->host_status = 0;
  header->driver_status = 0;
  header->sb_len_wr = 0;
  header->resid = 0;
  if (disk.pulled) {
    header->host_status = kDidNoConnect;
    return 0;
  }
  const bool dataIn = header->dxfer_direction == SG_DXFER_FROM_DEV;
  std::vector<std::uint8_t> data(header->dxfer_len);
  if (!dataIn && header->dxfer_len > 0) std::memcpy(data.data(), header->dxferp, header->dxfer_len);
  emulated::ScsiCommand command{header->cmdp, header->cmd_len, dataIn, data.data(), header->dxfer_len};
  header->status = disk.device->Execute(command);
  if (dataIn && header->status == emulated::kStatusGood) {
    std::memcpy(header->dxferp, data.data(), command.Answered());
    header->resid = static_cast<int>(header->dxfer_len - command.Answered());
  }
  if (header->status == emulated::kStatusCheckCondition && header->sbp != nullptr) {
    const auto sense = disk.device->LastSense().Bytes();
    header->sb_len_wr = static_cast<unsigned char>(std::min<std::size_t>(header->mx_sb_len, sense.size()));
    std::memcpy(header->sbp, sense.data(), header->sb_len_wr);
    header->driver_status = kDriverSense;
  }
  return 0;
}

int FakeKernel::Ioctl(int fd, unsigned long request, void* argument) {
  FakeDisk* disk = DiskOf(fd);
  if (disk == nullptr) return -EBADF;
  if (request == SG_IO) return SgIo(*disk, argument);
  if (disk->pulled) return -ENODEV;
  if (request == BLKGETSIZE64) {
    auto sectors = emulated::VisibleSectorsOf(*disk->device);
    *static_cast<std::uint64_t*>(argument) = sectors ? sectors->SectorCount() * kSectorSize : 0;
    return 0;
  }
  if (request == BLKROGET) {
    *static_cast<int*>(argument) = disk->writeProtectTab ? 1 : 0;
    return 0;
  }
  if (request == BLKRRPART || request == BLKFLSBUF) return 0;
  return -ENOTTY;
}

long FakeKernel::ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  FakeDisk* disk = DiskOf(fd);
  if (disk == nullptr) return -EBADF;
  if (disk->pulled) return -EIO;
  auto sectors = emulated::VisibleSectorsOf(*disk->device);
  if (!sectors || offset % kSectorSize != 0 || size % kSectorSize != 0) return -EINVAL;
  const auto count = static_cast<std::uint32_t>(size / kSectorSize);
  return sectors->ReadSectors(offset / kSectorSize, count, static_cast<std::uint8_t*>(buffer)) ? static_cast<long>(size) : -EIO;
}

long FakeKernel::WriteAt(int fd, const void* buffer, std::size_t size, std::uint64_t offset) {
  auto it = m_open.find(fd);
  if (it == m_open.end() || !it->second.writable) return -EBADF;
  FakeDisk& disk = *it->second.disk;
  if (disk.pulled) return -EIO;
  ++disk.sectorWrites;
  auto sectors = emulated::VisibleSectorsOf(*disk.device);
  if (!sectors || offset % kSectorSize != 0 || size % kSectorSize != 0) return -EINVAL;
  const auto count = static_cast<std::uint32_t>(size / kSectorSize);
  return sectors->WriteSectors(offset / kSectorSize, count, static_cast<const std::uint8_t*>(buffer)) ? static_cast<long>(size) : -EIO;
}

int FakeKernel::Flush(int fd) {
  FakeDisk* disk = DiskOf(fd);
  if (disk == nullptr) return -EBADF;
  ++disk->flushes;
  return 0;
}

int FakeKernel::WriteAttribute(const std::string& path, const std::string& text) {
  attributesWritten.push_back(path + "=" + text);
  return 0;
}

}  // namespace fake_linux
