#include "host/linux/usb_disks.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace linuxhost {
namespace {

constexpr std::uint64_t kSectorsPerMegabyte = 2048;

// A sysfs attribute's first line, without the padding the kernel keeps in SCSI texts.
std::string Attribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

bool Exists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

// A USB device's directory carries idVendor; a disk behind usb-storage or uas has one among the
// ancestors of its SCSI device.
bool HasUsbAncestor(const fs::path& sysRoot, const fs::path& deviceLink) {
  std::error_code error;
  fs::path at = fs::canonical(deviceLink, error);
  if (error) return false;
  const fs::path root = fs::canonical(sysRoot, error);
  if (error) return false;
  for (; at.has_relative_path() && at != root; at = at.parent_path()) {
    if (Exists(at / "idVendor") && Exists(at / "idProduct")) return true;
  }
  return false;
}

std::string MegabytesText(std::uint64_t sectors) {
  return std::to_string(sectors / kSectorsPerMegabyte) + " MB";
}

Disk ReadDisk(const SystemPaths& paths, const std::string& name) {
  const fs::path dir = fs::path(paths.sysRoot) / "block" / name;
  Disk disk;
  disk.name = name;
  disk.node = (fs::path(paths.devRoot) / name).string();
  disk.majorMinor = Attribute(dir / "dev");
  disk.usb = HasUsbAncestor(paths.sysRoot, dir / "device");
  disk.vendor = Attribute(dir / "device" / "vendor");
  disk.model = Attribute(dir / "device" / "model");
  disk.revision = Attribute(dir / "device" / "rev");
  disk.sectors = std::strtoull(Attribute(dir / "size").c_str(), nullptr, 10);
  disk.readOnly = Attribute(dir / "ro") == "1";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    if (Exists(entry.path() / "partition")) {
      disk.partitions.push_back({entry.path().filename().string(), Attribute(entry.path() / "dev")});
    }
  }
  std::sort(disk.partitions.begin(), disk.partitions.end(),
            [](const DiskPartition& a, const DiskPartition& b) { return a.name < b.name; });
  return disk;
}

// mountinfo escapes space, tab, newline and backslash as three octal digits.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && std::isdigit(static_cast<unsigned char>(field[i + 1]))) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

std::string Disk::Name() const {
  std::string what = vendor;
  if (!model.empty()) what += (what.empty() ? "" : " ") + model;
  return what.empty() ? "no name" : what;
}

std::string Disk::Describe() const { return node + " (" + Name() + ", " + MegabytesText(sectors) + ")"; }

std::vector<Disk> ListDisks(const SystemPaths& paths) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::path(paths.sysRoot) / "block", error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<Disk> disks;
  for (const std::string& name : names) disks.push_back(ReadDisk(paths, name));
  return disks;
}

std::vector<Disk> ListUsbDisks(const SystemPaths& paths) {
  std::vector<Disk> disks = ListDisks(paths);
  std::erase_if(disks, [](const Disk& disk) { return !disk.usb; });
  return disks;
}

bool FindDisk(DeviceCalls& calls, const SystemPaths& paths, const std::string& path, Disk* disk, std::string* error) {
  NodeKind node;
  if (const int failed = calls.Stat(path, &node); failed < 0) {
    *error = path + ": " + std::strerror(-failed);
    return false;
  }
  if (node.type == NodeKind::Type::kOther) {
    *error = path + " is not a device node: give the key's block device (/dev/sdb) or its SCSI generic node (/dev/sg2)";
    return false;
  }
  std::error_code failure;
  const fs::path block = fs::path(paths.sysRoot) / "block";
  for (const auto& entry : fs::directory_iterator(block, failure)) {
    const std::string diskName = entry.path().filename().string();
    if (node.type == NodeKind::Type::kBlock) {
      if (Attribute(entry.path() / "dev") == node.number) {
        *disk = ReadDisk(paths, diskName);
        return true;
      }
      for (const auto& part : fs::directory_iterator(entry.path(), failure)) {
        if (Exists(part.path() / "partition") && Attribute(part.path() / "dev") == node.number) {
          *error = path + " is a partition of " + (fs::path(paths.devRoot) / diskName).string() +
                   ": give the whole disk";
          return false;
        }
      }
      continue;
    }
    // The disk's SCSI generic node: the library drives the block device instead, which it can
    // hold exclusively.
    for (const auto& generic : fs::directory_iterator(entry.path() / "device" / "scsi_generic", failure)) {
      if (Attribute(generic.path() / "dev") == node.number) {
        *disk = ReadDisk(paths, diskName);
        return true;
      }
    }
  }
  *error = path + " is not a disk";
  return false;
}

bool HasRawIoCapability(const SystemPaths& paths) {
  constexpr int kCapSysRawIo = 17;
  std::ifstream in(paths.processStatus);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("CapEff:", 0) == 0) {
      const std::uint64_t effective = std::strtoull(line.c_str() + 7, nullptr, 16);
      return (effective >> kCapSysRawIo & 1) != 0;
    }
  }
  return false;
}

std::vector<std::string> MountsOf(const SystemPaths& paths, const Disk& disk) {
  std::vector<std::pair<std::string, std::string>> numbers = {{disk.majorMinor, disk.node}};
  for (const DiskPartition& partition : disk.partitions) {
    numbers.emplace_back(partition.majorMinor,
                         (fs::path(paths.devRoot) / partition.name).string());
  }
  std::vector<std::string> mounts;
  std::ifstream in(paths.mountInfo);
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point ...
    std::istringstream fields(line);
    std::string id, parent, majorMinor, root, mountPoint;
    if (!(fields >> id >> parent >> majorMinor >> root >> mountPoint)) continue;
    for (const auto& [number, node] : numbers) {
      if (!number.empty() && number == majorMinor) mounts.push_back(node + " on " + Unescape(mountPoint));
    }
  }
  return mounts;
}

}  // namespace linuxhost
