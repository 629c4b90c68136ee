#include "media/single_partition_writer.h"

#include <algorithm>
#include <array>

#include "devlib/key_library.h"
#include "media/boot_templates.h"
#include "media/progress_sink.h"
#include "media/volume_limits.h"

namespace {

constexpr std::uint16_t kWriterSteps = 23;
constexpr std::uint32_t kClearSectors = 576;
constexpr std::uint32_t kChunk = 32;
constexpr std::uint32_t kPartitionStart = set1_sector::kPartitionStart;
// The FAT16 root directory runs to sector 595, beyond the 576 cleared sectors.
constexpr std::uint32_t kRootTailStart = 576;
constexpr std::uint32_t kRootTailSectors = 20;
constexpr std::uint32_t kFixedSectorsPerCluster = 32;

// The set stays patched between calls; every call rewrites every field it patches.
TemplateSet1& Templates() {
  static TemplateSet1 set = MakeTemplateSet1();
  return set;
}

// Byte 0x25 of the boot sector is the boot program's working storage, which Windows and every
// FAT checker also read as the volume's dirty flag: it is written clear.
constexpr std::size_t kDirtyFlag = boot_sector_offset::kReservedByte;

}  // namespace

PartitionPlan PlanSinglePartition(std::uint32_t capacityMb, std::uint32_t areaSectors) {
  const FatKind kind = FatKindForAreaMb(capacityMb);
  const std::uint8_t sectorsPerFat = kind == FatKind::kFat12 ? kFat12SectorsPerFat : kSinglePartitionFat16SectorsPerFat;
  // A 250-sector FAT maps 63998 clusters; 1 GB at 2048 sectors to the megabyte (or 1039 MB and
  // up at 1972) holds more.
  PartitionPlan plan = PlanPartition(kind, sectorsPerFat, kFixedSectorsPerCluster,
                                     areaSectors > kPartitionStart ? areaSectors - kPartitionStart : 0);
  if (areaSectors <= kPartitionStart) plan.valid = false;
  return plan;
}

ResultCode WriteSinglePartitionBoot(int /*mode*/, const char* label, ProgressReceiver* progress, std::int32_t* counter,
                                    std::uint32_t capacityMb) {
  static const std::array<std::uint8_t, kChunk * kSectorSize> zeros{};
  ProgressSink sink(progress, counter);
  sink.Claim(kWriterSteps);
  sink.Advance();

  // The partition's size is known from the firmware alone, so a size the fixed layout (32
  // sectors per cluster, 12 or 250 sectors per FAT) cannot describe is refused before the key
  // is changed at all; so is a firmware without a conversion. A size of 0 or one beyond the key
  // is left to the area-size step, which refuses it.
  std::uint32_t megabytes = capacityMb;
  std::uint32_t areaSectors = 0;
  ResultCode result = ConvertKeyCapacity(&megabytes, &areaSectors, 0);
  if (result != kResultSuccess) return result;
  const bool sized = areaSectors > kPartitionStart;
  const PartitionPlan plan = PlanSinglePartition(capacityMb, areaSectors);
  const FatKind kind = plan.kind;
  const std::uint8_t sectorsPerFat = plan.sectorsPerFat;
  const std::uint32_t partitionSectors = plan.sectors;
  if (sized && !plan.valid) return kResultGeneralFailure;

  result = KeyCommand9E(0);
  if (result != kResultSuccess) return result;
  result = SetKeyAreaSize(capacityMb);
  if (result != kResultSuccess) return result;
  result = KeyCommandFF1D();
  if (result != kResultSuccess) return result;
  sink.Advance();
  if (!sized) return kResultGeneralFailure;

  for (std::uint32_t s = 0; s < kClearSectors; s += kChunk) {
    result = WriteKeySectors(s, zeros.data(), kChunk);
    if (result != kResultSuccess) return result;
    sink.Advance();
  }
  if (kind == FatKind::kFat16) {
    result = WriteKeySectors(kRootTailStart, zeros.data(), kRootTailSectors);
    if (result != kResultSuccess) return result;
  }

  TemplateSet1& set = Templates();
  PatchPartitionSize(set.Mbr63Template, set.BootSector63Template, kind, partitionSectors, sectorsPerFat);
  set.BootSector63Template[kDirtyFlag] = 0;
  const Sector fatHead = FatHeadFor(set.FatHeadSector, kind);
  const std::uint32_t firstFat = set1_sector::kFirstFat;

  result = WriteKeySectors(set1_sector::kMbr, set.Mbr63Template.data(), 1);
  if (result != kResultSuccess) return result;
  sink.Advance();
  result = WriteKeySectors(kPartitionStart, set.BootSector63Template.data(), 1);
  if (result != kResultSuccess) return result;
  sink.Advance();
  result = WriteKeySectors(firstFat, fatHead.data(), 1);
  if (result != kResultSuccess) return result;
  sink.Advance();
  result = WriteKeySectors(firstFat + sectorsPerFat, fatHead.data(), 1);
  if (result != kResultSuccess) return result;
  if (label != nullptr && label[0] != '\0') {
    FillLabelEntry(set.LabelSectorTemplate, label);
    result = WriteKeySectors(firstFat + 2u * sectorsPerFat, set.LabelSectorTemplate.data(), 1);
    if (result != kResultSuccess) return result;
  }
  result = WriteKeySectors(set1_sector::kSecondBootSector, set.BootSector32Template.data(), 1);
  if (result != kResultSuccess) return result;
  result = KeyCommandFF1D();
  if (result != kResultSuccess) return result;
  sink.ReleaseAfterSuccess();
  return kResultSuccess;
}
