#include "host/emulated/emulated_host.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "host/byte_order.h"
#include "host/emulated/visible_sectors.h"

namespace emulated {
namespace {

// SCSI_PASS_THROUGH_DIRECT of a 32-bit program, read the way the system reads it.
constexpr std::size_t kSptdSize = 44;
constexpr std::size_t kSptdRequestSize = 80;
constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x0004D014;

// The helper driver's request block.
constexpr std::uint32_t kHelperControlCode = 0x0022E00C;
constexpr std::uint32_t kHelperHeader = 60;
constexpr std::uint32_t kHelperMaxData = 16384;

bool IsVolumePath(const char* path, char* letter) {
  if (std::strlen(path) != 6 || std::strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':') return false;
  *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
  return *letter >= 'A' && *letter <= 'Z';
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int* year, unsigned* month, unsigned* day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

// The size in the USB storage device name the key's firmware reports.
const char* UsbStorSizeName(std::uint32_t capacityMb) {
  return capacityMb <= 256 ? "256MB" : capacityMb <= 512 ? "512MB" : "1GB";
}

}  // namespace

EmulatedHost::EmulatedHost() = default;

EmulatedHost::~EmulatedHost() {
  // A host that goes away must not stay installed behind the core's back.
  if (host::Installed().clock == this) host::Install(host::Ports{});
}

host::Ports EmulatedHost::PortsForInstall() {
  host::Ports ports;
  ports.volumes = this;
  ports.helperDriver = this;
  ports.clock = this;
  ports.security = this;
  ports.registry = &registry;
  ports.files = this;
  ports.shell = this;
  ports.resources = this;
  return ports;
}

void EmulatedHost::Install() { host::Install(PortsForInstall()); }

int EmulatedHost::LetterIndex(char letter) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  return letter >= 'A' && letter <= 'Z' ? letter - 'A' : -1;
}

EmulatedDevice& EmulatedHost::Attach(char letter, std::unique_ptr<EmulatedDevice> device, int helperIndex) {
  const int slot = LetterIndex(letter);
  EmulatedDevice& attached = *device;
  if (slot >= 0) {
    m_drives[static_cast<std::size_t>(slot)] = std::move(device);
    RecordInRegistry(static_cast<char>('A' + slot), attached);
  }
  if (helperIndex >= 0 && helperIndex < 26) m_helperDevices[static_cast<std::size_t>(helperIndex)] = &attached;
  return attached;
}

void EmulatedHost::RecordInRegistry(char letter, const EmulatedDevice& device) {
  ++m_devicesRecorded;
  if (!IsNtPlatform()) {
    Record9xDevice(letter, device);
    return;
  }
  std::string deviceKey;
  switch (device.Kind()) {
    case DriveKind::kKey: {
      const auto& config = static_cast<const EmulatedKey&>(device).Config();
      const char* size = UsbStorSizeName(config.capacityMb);
      deviceKey = std::string("Disk&Ven_Varnok&Prod_Stelvarion_") + size + "&Rev_" + config.revision;
      break;
    }
    case DriveKind::kUsbStick:
      deviceKey = "Disk&Ven_Generic&Prod_USB_Flash_Disk&Rev_1.00";
      break;
    case DriveKind::kEmptyReader:
      deviceKey = "Disk&Ven_Generic&Prod_Card_Reader&Rev_1.00";
      break;
    case DriveKind::kFixedDisk: {
      // A fixed disk's volume is recorded by disk signature and offset, not by a device path.
      std::vector<std::uint8_t> signature = {0x9A, 0x3C, 0x12, 0x7E, 0, 0x7E, 0, 0, 0, 0, 0, 0};
      registry.SetValue("SYSTEM\\MountedDevices", std::string("\\DosDevices\\") + letter + ":",
                        host::kRegBinary, signature);
      return;
    }
  }
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "7&%x&0", 0x2f9e1c30u + static_cast<unsigned>(m_devicesRecorded));
  char instance[32];
  std::snprintf(instance, sizeof instance, "AA%08X&0", 0x1000u + static_cast<unsigned>(m_devicesRecorded));
  registry.AddUsbStorDevice(deviceKey, instance, prefix);
  if (device.Kind() != DriveKind::kKey || !faults.keyLetterUnrecorded) registry.AddMountedVolume(letter, prefix);
}

void EmulatedHost::Record9xDevice(char letter, const EmulatedDevice& device) {
  // 9x spells device identifiers in capitals; a USB disk's instance is its serial number, so a
  // key plugged in again finds its old hardware key.
  std::string hardwareKey;
  switch (device.Kind()) {
    case DriveKind::kKey: {
      const auto& config = static_cast<const EmulatedKey&>(device).Config();
      const char* size = UsbStorSizeName(config.capacityMb);
      hardwareKey = std::string("USBSTOR\\DISK&VEN_VARNOK&PROD_STELVARION_") + size + "&REV_" + config.revision +
                    "\\" + config.model + "&" + std::to_string(config.capacityMb);
      for (char& c : hardwareKey) c = c == ' ' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      break;
    }
    case DriveKind::kUsbStick:
      hardwareKey = "USBSTOR\\DISK&VEN_GENERIC&PROD_USB_FLASH_DISK&REV_1.00\\0123456789AB";
      break;
    case DriveKind::kEmptyReader:
      hardwareKey = "USBSTOR\\DISK&VEN_GENERIC&PROD_CARD_READER&REV_1.00\\CBA9876543210";
      break;
    case DriveKind::kFixedDisk:
      hardwareKey = "ESDI\\GENERIC_IDE__DISK_TYPE47_\\MF&CHILD0000&PCI&VEN_8086&DEV_7111&SUBSYS_00000000&REV_01";
      break;
  }
  const bool unrecorded = device.Kind() == DriveKind::kKey && faults.keyLetterUnrecorded;
  registry.Add9xDisk(hardwareKey, unrecorded ? std::string() : std::string(1, letter));
  char devnode[16];
  std::snprintf(devnode, sizeof devnode, "C29A%04X", 0x3C40u + static_cast<unsigned>(m_devicesRecorded));
  m_devnodes[static_cast<std::size_t>(LetterIndex(letter))] = devnode;
  registry.Add9xDevnode(devnode, hardwareKey);
}

EmulatedKey& EmulatedHost::AttachKey(char letter, const KeyConfig& config, int helperIndex) {
  return static_cast<EmulatedKey&>(Attach(letter, std::make_unique<EmulatedKey>(config), helperIndex));
}

EmulatedDevice& EmulatedHost::AttachToHelper(int helperIndex, std::unique_ptr<EmulatedDevice> device) {
  const std::size_t index = static_cast<std::size_t>(helperIndex);
  m_helperOnly.at(index) = std::move(device);
  m_helperDevices.at(index) = m_helperOnly[index].get();
  return *m_helperOnly[index];
}

void EmulatedHost::Detach(char letter) {
  const int slot = LetterIndex(letter);
  if (slot < 0) return;
  EmulatedDevice* device = m_drives[static_cast<std::size_t>(slot)].get();
  for (EmulatedDevice*& d : m_helperDevices) {
    if (d == device) d = nullptr;
  }
  m_drives[static_cast<std::size_t>(slot)].reset();
  // 9x forgets a device that is gone, but keeps its hardware key.
  std::string& devnode = m_devnodes[static_cast<std::size_t>(slot)];
  if (!devnode.empty()) registry.Remove9xDevnode(devnode);
  devnode.clear();
}

EmulatedDevice* EmulatedHost::DeviceAt(char letter) {
  const int slot = LetterIndex(letter);
  return slot < 0 ? nullptr : m_drives[static_cast<std::size_t>(slot)].get();
}

EmulatedKey* EmulatedHost::KeyAt(char letter) {
  EmulatedDevice* device = DeviceAt(letter);
  return device != nullptr && device->Kind() == DriveKind::kKey ? static_cast<EmulatedKey*>(device) : nullptr;
}

EmulatedDevice* EmulatedHost::HelperDevice(int index) {
  return index >= 0 && index < 26 ? m_helperDevices[static_cast<std::size_t>(index)] : nullptr;
}

EmulatedHost::Outcome EmulatedHost::RunCommand(EmulatedDevice* device, const ScsiCommand& command) {
  const std::uint64_t index = m_commandIndex++;
  Outcome outcome;
  const bool keyGone = faults.keyRemovedFrom && index >= *faults.keyRemovedFrom &&
                       device != nullptr && device->Kind() == DriveKind::kKey;
  if (device == nullptr || keyGone || faults.failingIoctls.count(index) != 0) {
    outcome.ioctlOk = false;
    return outcome;
  }
  if (auto forced = faults.forcedStatus.find(index); forced != faults.forcedStatus.end()) {
    outcome.status = forced->second;
    return outcome;
  }
  outcome.delivered = true;
  outcome.status = device->Execute(command);
  return outcome;
}

// ---- Volumes and SCSI pass-through ---------------------------------------------------------

host::Handle EmulatedHost::OpenVolume(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                      std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  TraceEvent event;
  event.kind = TraceKind::kOpenVolume;
  event.text = path;
  event.access = desiredAccess;
  event.share = shareMode;
  event.disposition = creationDisposition;
  event.flags = flagsAndAttributes;
  // The file system holds a mounted volume open for reading and writing: another open must
  // share both (or fail with a sharing violation), and a volume can only be opened, not created.
  const std::uint32_t bothShares = host::win32::FILE_SHARE_READ | host::win32::FILE_SHARE_WRITE;
  const bool openable = (shareMode & bothShares) == bothShares && creationDisposition == host::win32::OPEN_EXISTING;
  char letter = 0;
  const bool keyGone = [&] {
    EmulatedDevice* device = IsVolumePath(path, &letter) ? DeviceAt(letter) : nullptr;
    return device != nullptr && device->Kind() == DriveKind::kKey && faults.keyRemovedFrom &&
           m_commandIndex >= *faults.keyRemovedFrom;
  }();
  if (!openable || !IsVolumePath(path, &letter) || DeviceAt(letter) == nullptr || keyGone ||
      faults.volumesThatDoNotOpen.count(letter) != 0) {
    trace.Add(std::move(event));
    return host::kInvalidHandle;
  }
  const host::Handle handle = m_nextHandle++;
  m_handles[handle] = OpenHandle{OpenHandle::What::kVolume, letter, desiredAccess};
  event.ok = true;
  event.handle = handle;
  event.letter = letter;
  trace.Add(std::move(event));
  return handle;
}

bool EmulatedHost::SendPassThrough(host::Handle volume, std::uint32_t ioControlCode,
                                   host::PassThroughRequest& request, std::uint32_t inSize,
                                   std::uint32_t outSize, std::uint32_t* bytesReturned) {
  TraceEvent event;
  event.kind = TraceKind::kPassThrough;
  event.request.assign(request.image.begin(), request.image.end());
  event.inSize = inSize;
  event.outSize = outSize;
  event.dataBuffer = request.dataBuffer;
  event.dataBufferIsNull = request.dataBuffer == nullptr;

  std::uint8_t* image = request.image.data();
  const std::uint16_t length = GetLittleEndian16(image);
  const std::uint8_t cdbLength = image[6];
  const std::uint8_t senseLength = image[7];
  const bool dataIn = image[8] == 1;
  const std::uint32_t transferLength = GetLittleEndian32(image + 12);
  const std::uint32_t senseOffset = GetLittleEndian32(image + 24);
  event.cdb.assign(image + 28, image + 28 + std::min<std::size_t>(cdbLength, 16));
  event.dataIn = dataIn;
  event.length = transferLength;

  auto handle = m_handles.find(volume);
  // What the system itself would refuse before the device sees anything.
  // SCSI pass-through needs a handle opened for reading and writing (access denied otherwise).
  const std::uint32_t readWrite = host::win32::GENERIC_READ | host::win32::GENERIC_WRITE;
  const bool wellFormed = handle != m_handles.end() &&
                          handle->second.what == OpenHandle::What::kVolume &&
                          (handle->second.access & readWrite) == readWrite &&
                          ioControlCode == kIoctlScsiPassThroughDirect && length == kSptdSize &&
                          inSize >= kSptdSize && outSize >= kSptdSize && inSize <= kSptdRequestSize &&
                          outSize <= kSptdRequestSize && cdbLength > 0 && cdbLength <= 16 &&
                          image[8] <= 2 && (transferLength == 0 || request.dataBuffer != nullptr);
  if (!wellFormed) {
    ++m_commandIndex;
    trace.Add(std::move(event));
    return false;
  }
  event.letter = handle->second.letter;

  std::vector<std::uint8_t> data(transferLength);
  if (!dataIn && transferLength > 0) {
    std::memcpy(data.data(), request.dataBuffer, transferLength);
    event.dataOut = data;
  }
  ScsiCommand command{image + 28, cdbLength, dataIn, data.data(), transferLength};
  EmulatedDevice* device = DeviceAt(handle->second.letter);
  const Outcome outcome = RunCommand(device, command);
  if (faults.dataInAnswered) command.answered = std::min(command.Answered(), *faults.dataInAnswered);
  event.ok = outcome.ioctlOk;
  event.delivered = outcome.delivered;
  event.status = outcome.status;
  if (outcome.ioctlOk) {
    image[2] = outcome.status;
    if (dataIn && transferLength > 0 && outcome.delivered && outcome.status == kStatusGood) {
      // The device writes the caller's buffer itself, and only as far as it answers.
      std::memcpy(request.dataBuffer, data.data(), command.Answered());
    }
    if (outcome.status != kStatusGood && device != nullptr && senseOffset < outSize) {
      const auto sense = device->LastSense().Bytes();
      const std::size_t n = std::min<std::size_t>({senseLength, sense.size(), outSize - senseOffset});
      std::memcpy(image + senseOffset, sense.data(), n);
    }
    if (bytesReturned != nullptr) *bytesReturned = outSize;
  }
  event.reply.assign(request.image.begin(), request.image.end());
  trace.Add(std::move(event));
  return outcome.ioctlOk;
}

bool EmulatedHost::CloseVolume(host::Handle volume) {
  TraceEvent event;
  event.kind = TraceKind::kCloseHandle;
  event.handle = volume;
  event.ok = m_handles.erase(volume) == 1;
  trace.Add(event);
  return event.ok;
}

// ---- The helper driver ---------------------------------------------------------------------

host::Handle EmulatedHost::OpenDriver(const char* path, std::uint32_t, std::uint32_t, std::uint32_t,
                                      std::uint32_t, std::uint32_t* lastError) {
  TraceEvent event;
  event.kind = TraceKind::kOpenHelper;
  event.text = path;
  std::uint32_t error = 0;
  if (std::strcmp(path, "\\\\.\\ZQIL200") != 0 || !faults.helperDriverInstalled) {
    error = host::win32::ERROR_FILE_NOT_FOUND;
  } else if (faults.helperOpenError != 0) {
    error = faults.helperOpenError;
  }
  if (lastError != nullptr) *lastError = error;
  if (error != 0) {
    trace.Add(std::move(event));
    return host::kInvalidHandle;
  }
  const host::Handle handle = m_nextHandle++;
  m_handles[handle] = OpenHandle{OpenHandle::What::kHelperDriver, 0};
  event.ok = true;
  event.handle = handle;
  trace.Add(std::move(event));
  return handle;
}

bool EmulatedHost::Control(host::Handle driver, std::uint32_t ioControlCode, const void* in,
                           std::uint32_t inSize, void* out, std::uint32_t outSize,
                           std::uint32_t* bytesReturned) {
  TraceEvent event;
  event.kind = TraceKind::kHelperCommand;
  event.inSize = inSize;
  event.outSize = outSize;

  auto handle = m_handles.find(driver);
  if (handle == m_handles.end() || handle->second.what != OpenHandle::What::kHelperDriver ||
      ioControlCode != kHelperControlCode || inSize < kHelperHeader || outSize < kHelperHeader ||
      inSize > kHelperHeader + kHelperMaxData || outSize > kHelperHeader + kHelperMaxData) {
    trace.Add(std::move(event));
    return false;
  }

  // METHOD_BUFFERED: the driver works on a system buffer that holds the input; what it leaves
  // there is copied back to the output, up to the output size.
  std::vector<std::uint8_t> system(std::max(inSize, outSize), 0);
  std::memcpy(system.data(), in, inSize);
  std::uint8_t* block = system.data();
  event.request.assign(block, block + kHelperHeader);

  const int index = static_cast<int>(GetLittleEndian32(block + 4));
  const bool dataOut = GetLittleEndian32(block + 8) != 0;
  const std::uint32_t length = GetLittleEndian32(block + 20);
  event.helperIndex = index;
  event.cdb.assign(block + 24, block + 36);
  event.dataIn = !dataOut;
  event.length = length;

  std::uint32_t returned = outSize;
  PutLittleEndian32(block + 12, 0);  // completion
  PutLittleEndian32(block + 16, 0);  // sense present
  const bool sizesFit = GetLittleEndian32(block) == 64 && length <= kHelperMaxData &&
                        (dataOut ? inSize >= kHelperHeader + length
                                 : length == 0 || outSize >= kHelperHeader + length);
  if (sizesFit) {
    std::vector<std::uint8_t> data(length);
    if (dataOut && length > 0) {
      std::memcpy(data.data(), block + kHelperHeader, length);
      event.dataOut = data;
    }
    ScsiCommand command{block + 24, 12, !dataOut, data.data(), length};
    EmulatedDevice* device = HelperDevice(index);
    const Outcome outcome = RunCommand(device, command);
  if (faults.dataInAnswered) command.answered = std::min(command.Answered(), *faults.dataInAnswered);
    event.delivered = outcome.delivered;
    event.status = outcome.status;
    if (outcome.ioctlOk && outcome.status == kStatusGood) {
      PutLittleEndian32(block + 12, 1);
      if (!dataOut && length > 0) {
        std::memcpy(block + kHelperHeader, data.data(), command.Answered());
        // The I/O manager copies back what the driver reports, not the whole output size.
        returned = kHelperHeader + command.Answered();
      }
    } else if (outcome.ioctlOk && device != nullptr) {
      const auto sense = device->LastSense().Bytes();
      PutLittleEndian32(block + 16, 1);
      std::memset(block + 36, 0, 24);
      std::memcpy(block + 36, sense.data(), sense.size());
    }
  } else {
    ++m_commandIndex;
  }
  event.ok = true;
  event.reply.assign(block, block + kHelperHeader);
  std::memcpy(out, block, returned);
  if (bytesReturned != nullptr) *bytesReturned = returned;
  trace.Add(std::move(event));
  return true;
}

bool EmulatedHost::CloseDriver(host::Handle driver) { return CloseVolume(driver); }

// ---- Clock -----------------------------------------------------------------------------------

void EmulatedHost::Sleep(std::uint32_t milliseconds) {
  if (++m_pauses == faults.killAtPause) {
    std::fflush(nullptr);
#if defined(SIGKILL)
    std::raise(SIGKILL);
#endif
    std::_Exit(137);
  }
  TraceEvent event;
  event.kind = TraceKind::kPause;
  event.milliseconds = milliseconds;
  trace.Add(event);
  if (m_realTime) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  m_elapsedMs += milliseconds;
}

std::uint32_t EmulatedHost::SecondsSince1970() {
  if (m_realTime) return static_cast<std::uint32_t>(std::time(nullptr));
  return m_startSeconds + static_cast<std::uint32_t>(m_elapsedMs / 1000);
}

void EmulatedHost::LocalDateText(char text[9]) {
  if (!m_dateText.empty()) {
    std::snprintf(text, 9, "%s", m_dateText.c_str());
    return;
  }
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  if (m_realTime) {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    year = local->tm_year + 1900;
    month = static_cast<unsigned>(local->tm_mon + 1);
    day = static_cast<unsigned>(local->tm_mday);
  } else {
    CivilFromDays(SecondsSince1970() / 86400, &year, &month, &day);
  }
  char date[16];
  std::snprintf(date, sizeof date, "%02u/%02u/%02d", month % 100, day % 100, year % 100);
  std::memcpy(text, date, 9);
}

// ---- Files and volumes -------------------------------------------------------------------------
// The calls are the FAT adapter's (fat/fat_file_system.h); the host traces them and refuses a
// label when the fault plan says so.

namespace {

// A path as the trace shows it; a null one (the root of the current directory, where Windows
// allows it) as "(null)".
std::string PathText(const char* path) { return path != nullptr ? path : "(null)"; }

}  // namespace

std::uint32_t EmulatedHost::GetDriveType(const char* rootPath) {
  TraceEvent event;
  event.kind = TraceKind::kDriveType;
  event.text = PathText(rootPath);
  trace.Add(event);
  return m_fileSystem.GetDriveType(rootPath);
}

std::uint32_t EmulatedHost::DriveTypeOf(const char* rootPath) {
  if (std::strlen(rootPath) != 3 || rootPath[1] != ':' || rootPath[2] != '\\') {
    return host::win32::DRIVE_NO_ROOT_DIR;
  }
  EmulatedDevice* device = DeviceAt(rootPath[0]);
  if (device == nullptr) return host::win32::DRIVE_NO_ROOT_DIR;
  return device->Kind() == DriveKind::kFixedDisk ? host::win32::DRIVE_FIXED : host::win32::DRIVE_REMOVABLE;
}

bool EmulatedHost::GetDiskFreeSpaceEx(const char* rootPath, std::uint64_t* freeBytesToCaller,
                                      std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes) {
  TraceEvent event;
  event.kind = TraceKind::kFreeSpace;
  event.text = PathText(rootPath) + " (GetDiskFreeSpaceExA)";
  trace.Add(event);
  return m_fileSystem.GetDiskFreeSpaceEx(rootPath, freeBytesToCaller, totalBytes, totalFreeBytes);
}

bool EmulatedHost::GetDiskFreeSpace(const char* rootPath, std::uint32_t* sectorsPerCluster,
                                    std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                                    std::uint32_t* totalClusters) {
  TraceEvent event;
  event.kind = TraceKind::kFreeSpace;
  event.text = PathText(rootPath) + " (GetDiskFreeSpaceA)";
  trace.Add(event);
  return m_fileSystem.GetDiskFreeSpace(rootPath, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
}

std::uint32_t EmulatedHost::GetCurrentDirectory(std::uint32_t size, char* buffer) {
  return m_fileSystem.GetCurrentDirectory(size, buffer);
}

bool EmulatedHost::CurrentDirectoryPath(std::string* path) {
  *path = currentDirectory;
  return true;
}

MountedFat EmulatedHost::MountVolume(const char* path) {
  MountedFat mounted;
  if (path == nullptr || std::strlen(path) < 2 || path[1] != ':') return mounted;
  EmulatedDevice* device = DeviceAt(path[0]);
  const bool keyGone = device != nullptr && device->Kind() == DriveKind::kKey && faults.keyRemovedFrom &&
                       m_commandIndex >= *faults.keyRemovedFrom;
  if (device == nullptr || keyGone) return mounted;
  mounted.sectors = VisibleSectorsOf(*device);
  if (!mounted.sectors) return mounted;
  mounted.volume = FatVolume::Mount(*mounted.sectors);
  if (!mounted.volume) return mounted;
  mounted.volume->SetClock([this] { return LocalTimeFromSeconds(SecondsSince1970()); });
  if (device->Kind() == DriveKind::kKey) {
    mounted.volume->SetFaults(FatFaults{faults.fileSystemReadOnly, faults.fileSystemFull});
  }
  return mounted;
}

void EmulatedHost::TraceFile(const std::string& what, bool ok) {
  TraceEvent event;
  event.kind = TraceKind::kFile;
  event.text = what;
  event.ok = ok;
  trace.Add(std::move(event));
}

bool EmulatedHost::FindFirstFile(const char* path) {
  const bool found = m_fileSystem.FindFirstFile(path);
  TraceFile(std::string("find ") + path, found);
  return found;
}

bool EmulatedHost::SetFileAttributes(const char* path, std::uint32_t attributes) {
  const bool ok = m_fileSystem.SetFileAttributes(path, attributes);
  char what[32];
  std::snprintf(what, sizeof what, "attributes %02X ", attributes);
  TraceFile(what + std::string(path), ok);
  return ok;
}

host::Handle EmulatedHost::CreateFile(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                      std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  const host::Handle handle =
      m_fileSystem.CreateFile(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
  TraceFile(std::string("create ") + path, handle != host::kInvalidHandle);
  return handle;
}

bool EmulatedHost::WriteFile(host::Handle file, const void* data, std::uint32_t size, std::uint32_t* written) {
  const bool ok = m_fileSystem.WriteFile(file, data, size, written);
  char what[32];
  std::snprintf(what, sizeof what, "write %u bytes", size);
  TraceFile(what, ok);
  return ok;
}

bool EmulatedHost::CloseFile(host::Handle file) {
  const bool ok = m_fileSystem.CloseFile(file);
  TraceFile("close", ok);
  return ok;
}

bool EmulatedHost::SetVolumeLabel(const char* rootPath, const char* label) {
  const bool ok = !faults.labelRefused && m_fileSystem.SetVolumeLabel(rootPath, label);
  // A null label (remove it) and the empty text are told apart.
  TraceFile("label " + PathText(rootPath) + (label != nullptr ? std::string(" \"") + label + "\"" : " (null)"), ok);
  return ok;
}

// ---- Shell, windows and resources ---------------------------------------------------------

host::WindowHandle EmulatedHost::AddWindow(const std::string& title) {
  m_windows.emplace_back(m_nextWindow, title);
  return m_nextWindow++;
}

void EmulatedHost::RemoveWindow(host::WindowHandle window) {
  std::erase_if(m_windows, [window](const auto& w) { return w.first == window; });
}

host::WindowHandle EmulatedHost::FindWindowByTitle(const char* title) {
  const auto same = [title](const std::string& candidate) {
    return candidate.size() == std::strlen(title) &&
           std::equal(candidate.begin(), candidate.end(), title, [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
  };
  for (const auto& [window, windowTitle] : m_windows) {
    if (same(windowTitle)) return window;
  }
  return 0;
}

bool EmulatedHost::PostMessage(host::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  const bool exists = std::any_of(m_windows.begin(), m_windows.end(), [window](const auto& w) { return w.first == window; });
  if (exists) postedMessages.push_back(PostedMessage{window, message, wParam, lParam});
  return exists;
}

void EmulatedHost::ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1, const void*) {
  ChangeNotification notification{eventId, flags, {}};
  if (item1 != nullptr && (flags & host::win32::SHCNF_PATHA) != 0) notification.path = static_cast<const char*>(item1);
  changeNotifications.push_back(notification);
}

int EmulatedHost::MessageBox(host::WindowHandle owner, const char* text, const char* caption, std::uint32_t type) {
  MessageBoxRecord record{owner, text != nullptr ? text : "", caption != nullptr ? caption : "", type, host::win32::IDOK};
  if (messageBoxHandler) {
    record.answer = messageBoxHandler(record);
  } else if (!messageBoxAnswers.empty()) {
    record.answer = messageBoxAnswers.front();
    messageBoxAnswers.pop_front();
  }
  messageBoxes.push_back(record);
  return record.answer;
}

bool EmulatedHost::LoadRcData(int id, const std::uint8_t** data, std::uint32_t* size) {
  if (auto view = resourceViews.find(id); view != resourceViews.end()) {
    *data = view->second.data();
    *size = static_cast<std::uint32_t>(view->second.size());
    return true;
  }
  auto it = resources.find(id);
  if (it == resources.end()) return false;
  *data = it->second.data();
  *size = static_cast<std::uint32_t>(it->second.size());
  return true;
}

namespace {

// The security API as the emulated Windows answers it. On the NT family the thread impersonates
// no one and the process's token passes the access check when the host's user is an
// administrator; on Windows 9x every call is the stub that fails with ERROR_CALL_NOT_IMPLEMENTED.
class EmulatedAdministratorTestCalls : public host::AdministratorTestCalls {
 public:
  explicit EmulatedAdministratorTestCalls(EmulatedHost& host) : m_host(host) {}
  bool OpenThreadToken() override { return Call("OpenThreadToken", host::kErrorNoToken); }
  bool OpenProcessToken() override { return Call("OpenProcessToken", 0); }
  bool DuplicateToken() override { return Call("DuplicateToken", 0); }
  bool MakeAdministratorsDescriptor() override { return Call("AllocateAndInitializeSid", 0); }
  bool AccessCheck(bool* accessStatus) override {
    if (!Call("AccessCheck", 0)) return false;
    *accessStatus = m_host.administrator;
    return true;
  }
  std::uint32_t LastError() override { return m_lastError; }

 private:
  // The call fails with `error` when it is nonzero, and always on Windows 9x.
  bool Call(const char* name, std::uint32_t error) {
    if (!m_host.IsNtPlatform()) error = host::kErrorCallNotImplemented;
    m_lastError = error;
    m_host.securityCalls.push_back(std::string(name) + (error == 0 ? " ok" : " failed " + std::to_string(error)));
    return error == 0;
  }

  EmulatedHost& m_host;
  std::uint32_t m_lastError = 0;
};

}  // namespace

bool EmulatedHost::IsAdministrator() {
  EmulatedAdministratorTestCalls calls(*this);
  return host::RunAdministratorTest(calls);
}

}  // namespace emulated
