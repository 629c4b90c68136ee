#include "app/system_files.h"

#include <cstdio>
#include <cstring>

#include "app/app_texts.h"
#include "app/boot_utility_app.h"
#include "devlib/identity.h"
#include "devlib/key_library.h"
#include "host/host.h"
#include "media/boot_templates.h"

namespace fa = host::win32;

const SystemFile kSystemFiles[3] = {
    {"IBMBIO.COM", 150, fa::FILE_ATTRIBUTE_HIDDEN | fa::FILE_ATTRIBUTE_SYSTEM},
    {"IBMDOS.COM", 151, fa::FILE_ATTRIBUTE_HIDDEN | fa::FILE_ATTRIBUTE_SYSTEM},
    {"COMMAND.COM", 152, fa::FILE_ATTRIBUTE_READONLY | fa::FILE_ATTRIBUTE_HIDDEN},
};

namespace {

constexpr std::uint32_t kPauseBeforeCopyMs = 500;
constexpr std::uint32_t kPauseAfterAttributesMs = 100;
constexpr std::uint32_t kPauseAfterFileMs = 250;
constexpr std::uint32_t kGenericWrite = 0x40000000u;

// Where each layout writer puts the partition's boot sector, and the FAT that follows it.
constexpr std::uint32_t kSinglePartitionBootSector = 63;
constexpr std::uint32_t kAreaBootSector = 32;
constexpr std::size_t kSectorsPerFatLow = 22;
constexpr std::size_t kLabelEntry = 3 * 32;
constexpr std::size_t kEntryAttribute = 11;
constexpr std::size_t kEntryWriteTimeAndDate = 22;

// The key's root: the drive letter followed by ":\".
bool KeyRootPath(char (&root)[4], ResultCode* result) {
  char letter = 0;
  *result = GetKeyDriveLetter(&letter);
  if (*result != kResultSuccess) return false;
  std::snprintf(root, sizeof root, "%c%s", letter, ":\\");
  return true;
}

}  // namespace

void ShowResultError(ResultCode code) {
  if (code == kResultWriteProtected) {
    AppMessageBox(text::kWriteProtected);
  } else if (code == kResultKeyNotFound) {
    AppMessageBox(text::kNotFound);
  } else {
    AppMessageBox(text::kUnknownError);
  }
}

bool WriteResourceToFile(const char* path, int resourceId) {
  host::FileSystemPort& files = host::Files();
  if (files.FindFirstFile(path)) {
    // An old copy may be hidden, system or read-only, which create-always refuses.
    files.SetFileAttributes(path, fa::FILE_ATTRIBUTE_NORMAL);
    host::Clock().Sleep(kPauseAfterAttributesMs);
  }
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  if (!host::Resources().LoadRcData(resourceId, &data, &size)) return false;
  const host::Handle file = files.CreateFile(path, kGenericWrite, 0, fa::CREATE_ALWAYS, fa::FILE_ATTRIBUTE_NORMAL);
  if (file == host::kInvalidHandle) return false;
  std::uint32_t written = 0;
  const bool wrote = files.WriteFile(file, data, size, &written) && written == size;
  const bool closed = files.CloseFile(file);
  host::Clock().Sleep(kPauseAfterFileMs);
  return wrote && closed;
}

ResultCode CopySystemFiles() {
  char root[4];
  ResultCode result = kResultSuccess;
  if (!KeyRootPath(root, &result)) {
    ShowResultError(result);
    return result;
  }
  host::Clock().Sleep(kPauseBeforeCopyMs);
  for (const SystemFile& file : kSystemFiles) {
    const std::string path = std::string(root) + file.name;
    if (!WriteResourceToFile(path.c_str(), file.resourceId)) {
      // A system file that is missing or short makes a key that does not boot.
      ShowResultError(kResultGeneralFailure);
      return kResultGeneralFailure;
    }
    host::Files().SetFileAttributes(path.c_str(), file.attributes);
  }
  return kResultSuccess;
}

ResultCode SetKeyVolumeLabel(const char* label) {
  char root[4];
  ResultCode result = kResultSuccess;
  if (!KeyRootPath(root, &result)) {
    ShowResultError(result);
    return result;
  }
  // Not examined: an ordinary user may not rename a volume, and the entry written by sector
  // afterwards names it all the same.
  host::Files().SetVolumeLabel(root, label);
  return kResultSuccess;
}

ResultCode WriteLabelEntry(const char* label) {
  const std::size_t length = std::strlen(label);
  if (length == 0) return kResultGeneralFailure;
  char name[20] = {};
  // Without the model the root directory's place is unknown: guessing could write into the FAT.
  if (FindKey(name, nullptr) != kResultSuccess || name[0] == '\0') {
    AppMessageBox(text::kNoDeviceInformation);
    return kResultGeneralFailure;
  }
  const bool singlePartition = std::strcmp(name, kModelNameP9) == 0;
  std::uint8_t sector[513] = {};
  const std::uint32_t bootSector = singlePartition ? kSinglePartitionBootSector : kAreaBootSector;
  // A failed read leaves no boot sector to find the root directory from, and a label placed by
  // a zeroed buffer would land in the FAT: nothing is written then.
  ResultCode result = ReadKeySectors(bootSector, sector, 1);
  if (result == kResultSuccess) {
    const std::uint32_t rootSector = bootSector + 1 + 2u * sector[kSectorsPerFatLow];
    result = ReadKeySectors(rootSector, sector, 1);
    if (result == kResultSuccess) {
      std::memset(sector + kLabelEntry, ' ', 11);
      std::memcpy(sector + kLabelEntry, label, length < 11 ? length : 11);
      // Stored as typed, but for a first byte that would mark the entry deleted.
      sector[kLabelEntry] = StoredNameLead(sector[kLabelEntry]);
      sector[kLabelEntry + kEntryAttribute] = kVolumeLabelAttribute;
      std::memcpy(sector + kLabelEntry + kEntryWriteTimeAndDate, sector + kEntryWriteTimeAndDate, 4);
      result = WriteKeySectors(rootSector, sector, 1);
    }
  }
  if (result != kResultSuccess) ShowResultError(result);
  return result;
}
