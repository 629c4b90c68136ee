// The machine's disks as sysfs describes them, and which of them hang off a USB bus. Only these
// are ever offered to the device library: no vendor command goes to any other disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/linux/device_calls.h"

namespace linuxhost {

// Where the host reads the system's own records; tests point them into a temporary folder.
struct SystemPaths {
  std::string sysRoot = "/sys";
  std::string devRoot = "/dev";
  std::string mountInfo = "/proc/self/mountinfo";
  std::string processStatus = "/proc/self/status";
};

// Whether this process holds CAP_SYS_RAWIO, which the kernel wants for SG_IO command blocks
// outside its list of standard ones (its "CapEff" line).
bool HasRawIoCapability(const SystemPaths& paths);

struct DiskPartition {
  std::string name;      // "sdb1"
  std::string majorMinor;  // "8:17", as sysfs and mountinfo write it
};

struct Disk {
  std::string name;        // "sdb"
  std::string node;        // "/dev/sdb": the block device every command and sector goes to
  std::string majorMinor;  // "8:16"
  bool usb = false;        // a USB device lies among its ancestors in sysfs
  std::string vendor;      // the SCSI INQUIRY texts as the kernel read them, trimmed
  std::string model;
  std::string revision;
  std::uint64_t sectors = 0;  // the size sysfs gives, in 512-byte sectors
  bool readOnly = false;
  std::vector<DiskPartition> partitions;

  // "Varnok KV 2 Zarno P9": the kernel's vendor and model texts.
  std::string Name() const;
  // "/dev/sdb (Varnok KV 2 Zarno P9, 1024 MB)": how the programs name a disk to the user, with
  // the size the kernel counts (in its own megabytes of 2048 sectors).
  std::string Describe() const;
};

// Every disk under sysRoot/block, in name order.
std::vector<Disk> ListDisks(const SystemPaths& paths);
// Only the USB disks among them.
std::vector<Disk> ListUsbDisks(const SystemPaths& paths);

// The disk a path names: the block device itself (/dev/sdb), a link to it
// (/dev/disk/by-id/usb-…) or its SCSI generic node (/dev/sg2), matched by the node's device
// number, never by its name: a plain file called sda is no disk. Empty with the reason in *error
// ("is not a device node", "is a partition of /dev/sdb: give the whole disk", ...).
bool FindDisk(DeviceCalls& calls, const SystemPaths& paths, const std::string& path, Disk* disk, std::string* error);

// Where the disk or one of its partitions is mounted: "/dev/sdb1 on /media/key" for each, from
// mountinfo (matched by device number, so any name the mount was made under counts).
std::vector<std::string> MountsOf(const SystemPaths& paths, const Disk& disk);

}  // namespace linuxhost
