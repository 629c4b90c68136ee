// The library's own repartition and format: the first area sized, then each area laid out as a
// small disk of its own from template set 2.
#include <algorithm>
#include <array>
#include <cstring>

#include "devlib/commands/command_catalogue.h"
#include "devlib/identity.h"
#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "host/host.h"
#include "media/boot_templates.h"
#include "media/format_sequence.h"
#include "media/volume_limits.h"

namespace {

constexpr std::uint16_t kSequenceSteps = 50;
constexpr std::uint16_t kAreaSteps = 23;
constexpr std::int32_t kFillerTarget = 25;  // where the counter stands after a second area
constexpr std::uint32_t kAreaClearSectors = 576;
constexpr std::uint32_t kSizedAreaClearSectors = 1152;
constexpr std::uint32_t kPartitionOffset = set2_sector::kPartitionStart;
constexpr std::uint32_t kLargestAreaMb = 4096;  // where the cluster table ends
constexpr std::int32_t kModelKindP9 = 4;

// The set stays patched between calls; every call rewrites every field it patches.
TemplateSet2& Templates() {
  static TemplateSet2 set = MakeTemplateSet2();
  return set;
}

const std::array<std::uint8_t, kBlocksPerWrite * kBlockSize>& ZeroChunk() {
  static const std::array<std::uint8_t, kBlocksPerWrite * kBlockSize> zeros{};
  return zeros;
}

// An area the layout can describe: one that exists and that the cluster table covers.
bool IsAreaSizeSupported(std::uint32_t megabytes) { return megabytes > 0 && megabytes <= kLargestAreaMb; }

}  // namespace

PartitionPlan PlanAreaPartition(std::uint32_t areaMb, std::uint32_t areaSectors) {
  const FatKind kind = FatKindForAreaMb(areaMb);
  const std::uint8_t sectorsPerFat = kind == FatKind::kFat12 ? kFat12SectorsPerFat : kAreaFat16SectorsPerFat;
  // A 255-sector FAT maps 65278 clusters; on firmware that counts 2048 sectors to the
  // megabyte larger areas hold more.
  PartitionPlan plan = PlanPartition(kind, sectorsPerFat, SectorsPerClusterForAreaMb(areaMb),
                                     areaSectors > kPartitionOffset ? areaSectors - kPartitionOffset : 0);
  if (!IsAreaSizeSupported(areaMb) || areaSectors <= kPartitionOffset) plan.valid = false;
  return plan;
}

ResultCode ScsiFlashDevice::LayOutArea(AreaSelector which, const char* label, ProgressSink& callerSink,
                                       const std::uint32_t* givenFirstAreaMb) {
  // The claim is this call's own: inside a sequence that claimed the bar, only the counter is shared.
  ProgressSink sink(callerSink.Control(), callerSink.Counter());
  sink.Claim(kAreaSteps);

  std::uint32_t firstAreaMb = 0;
  if (givenFirstAreaMb != nullptr) {
    firstAreaMb = *givenFirstAreaMb;
  } else {
    const ResultCode read = GetAreaSizeMb(&firstAreaMb);
    if (read != kResultSuccess) return read;
  }
  sink.Advance();

  std::uint32_t start = 0;
  std::uint32_t areaMb = firstAreaMb;
  if (which == AreaSelector::kSecond) {
    std::uint32_t firstAreaSectors = 0;
    ResultCode result = ConvertCapacity(&firstAreaMb, &firstAreaSectors, 0);
    if (result != kResultSuccess) return result;
    // The sized layout writes the second area from sector 0: the key shows it there then.
    if (givenFirstAreaMb == nullptr) start = firstAreaSectors;
    int capacity = 0;
    result = ReadCapacityMb(&capacity);
    if (result != kResultSuccess) return result;
    areaMb = static_cast<std::uint32_t>(capacity) - firstAreaMb;
  }
  sink.Advance();
  if (!IsAreaSizeSupported(areaMb)) return kResultGeneralFailure;

  const std::uint32_t clearSectors = givenFirstAreaMb != nullptr ? kSizedAreaClearSectors : kAreaClearSectors;
  for (std::uint32_t s = start; s < start + clearSectors; s += kBlocksPerWrite) {
    const ResultCode cleared = WriteBlocks(s, ZeroChunk().data(), kBlocksPerWrite);
    if (cleared != kResultSuccess) return cleared;
    sink.Advance();
  }

  TemplateSet2& set = Templates();
  set.AreaBootSectorTemplate[boot_sector_offset::kSectorsPerCluster] = SectorsPerClusterForAreaMb(areaMb);

  std::uint32_t areaSectors = 0;
  const ResultCode converted = ConvertCapacity(&areaMb, &areaSectors, 0);
  if (converted != kResultSuccess) return converted;
  const PartitionPlan plan = PlanAreaPartition(areaMb, areaSectors);
  const FatKind kind = plan.kind;
  const std::uint8_t sectorsPerFat = plan.sectorsPerFat;
  const std::uint32_t partitionSectors = plan.sectors;
  PatchPartitionSize(set.Mbr32Template, set.AreaBootSectorTemplate, kind, partitionSectors, sectorsPerFat);

  const Sector fatHead = FatHeadFor(set.FatHeadSector, kind);
  const std::uint32_t firstFat = start + set2_sector::kFirstFat;
  ResultCode result = WriteBlocks(start + set2_sector::kMbr, set.Mbr32Template.data(), 1);
  if (result != kResultSuccess) return result;
  sink.Advance();
  result = WriteBlocks(start + kPartitionOffset, set.AreaBootSectorTemplate.data(), 1);
  if (result != kResultSuccess) return result;
  sink.Advance();
  result = WriteBlocks(firstFat, fatHead.data(), 1);
  if (result != kResultSuccess) return result;
  sink.Advance();
  result = WriteBlocks(firstFat + sectorsPerFat, fatHead.data(), 1);
  if (result != kResultSuccess) return result;
  if (label != nullptr && label[0] != '\0') {
    FillLabelEntry(set.LabelSectorTemplate, label);
    result = WriteBlocks(firstFat + 2u * sectorsPerFat, set.LabelSectorTemplate.data(), 1);
    if (result != kResultSuccess) return result;
  }
  result = RefreshMedium();
  if (result != kResultSuccess) return result;
  sink.ReleaseAfterSuccess();
  return kResultSuccess;
}

ResultCode ScsiFlashDevice::WriteRegionLayout(AreaSelector which, const char* label, ProgressSink& sink) {
  return LayOutArea(which, label, sink, nullptr);
}

ResultCode ScsiFlashDevice::WriteRegionLayoutSized(AreaSelector which, const char* label, ProgressSink& sink,
                                                   std::uint32_t firstAreaMb) {
  return LayOutArea(which, label, sink, &firstAreaMb);
}

namespace {

// Without a second area the bar still has to reach the point a second area would have left it.
void FillProgressTo(ProgressSink& sink, std::int32_t target) {
  if (!sink.HasControl()) return;
  while (sink.Count() < target) {
    sink.Advance();
    host::Clock().Sleep(1);
  }
}

}  // namespace

ResultCode ScsiFlashDevice::RunFormatSequence(std::uint32_t firstAreaMb, const char* label, ProgressSink& sink) {
  if (ModelKind == 0) {
    const ResultCode found = static_cast<FlashDevice*>(this)->IdentifyKey(IdentityTable, kIdentityRows, nullptr, nullptr);
    if (found != kResultSuccess) return found;
  }
  sink.Claim(kSequenceSteps);

  if (ModelKind != kModelKindP9) {
    ResultCode result = SetAreaSizeMb(firstAreaMb);
    if (result != kResultSuccess) return result;
    sink.Advance();
    int capacity = 0;
    result = ReadCapacityMb(&capacity);
    if (result != kResultSuccess) return result;
    sink.Advance();
    if (firstAreaMb != static_cast<std::uint32_t>(capacity)) {
      result = WriteRegionLayout(AreaSelector::kSecond, nullptr, sink);
      if (result != kResultSuccess) return result;
    } else {
      SendCommand9E(5);
      FillProgressTo(sink, kFillerTarget);
    }
    sink.Advance();
    result = WriteRegionLayout(AreaSelector::kFirst, label, sink);
    if (result != kResultSuccess) return result;
    sink.Advance();
    result = RefreshMedium();
    if (result != kResultSuccess) return result;
    sink.ReleaseAfterSuccess();
    return kResultSuccess;
  }

  sink.Advance();
  int capacity = 0;
  ResultCode result = ReadCapacityMb(&capacity);
  if (result != kResultSuccess) return result;
  sink.Advance();
  result = SetAreaSizeMb(firstAreaMb);
  if (result != kResultSuccess) return result;
  result = ResetAndRefresh();
  if (result != kResultSuccess) return result;
  const ResultCode firstArea = WriteRegionLayoutSized(AreaSelector::kFirst, label, sink, firstAreaMb);
  if (firstAreaMb != static_cast<std::uint32_t>(capacity)) {
    result = SendCommand9F();
    if (result != kResultSuccess) return result;
    result = WriteRegionLayoutSized(AreaSelector::kSecond, nullptr, sink, firstAreaMb);
    if (result != kResultSuccess) return result;
  } else {
    SendCommand9E(5);
    FillProgressTo(sink, kFillerTarget);
  }
  sink.Advance();
  if (firstArea != kResultSuccess) return firstArea;
  sink.Advance();
  result = RefreshMedium();
  if (result != kResultSuccess) return result;
  sink.ReleaseAfterSuccess();
  result = SetAreaSizeMb(firstAreaMb);
  if (result != kResultSuccess) return result;
  return ResetAndRefresh();
}

ResultCode FormatKey(std::uint32_t firstAreaMb, const char* label, host::ProgressBar* control, std::int32_t* counter) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  if (firstAreaMb == 0) return kResultGeneralFailure;
  int capacity = 0;
  const ResultCode result = GetKeyCapacity(&capacity);
  if (result != kResultSuccess) return result;
  const auto capacityMb = static_cast<std::uint32_t>(capacity);
  if (firstAreaMb > capacityMb) return kResultGeneralFailure;
  // Either area beyond the cluster table is refused before anything is changed.
  if (firstAreaMb > kLargestAreaMb || capacityMb - firstAreaMb > kLargestAreaMb) return kResultGeneralFailure;
  ProgressSink sink(control, counter);
  return TheFlashDevice->RunFormatSequence(firstAreaMb, label, sink);
}

ResultCode FormatKeyRegion(int firstArea, const char* label, host::ProgressBar* control, std::int32_t* counter) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  int capacity = 0;
  ResultCode result = GetKeyCapacity(&capacity);
  if (result != kResultSuccess) return result;
  std::uint32_t areaMb = 0;
  result = GetKeyAreaSize(&areaMb);
  if (result != kResultSuccess) return result;
  if (firstArea == 0 && areaMb >= static_cast<std::uint32_t>(capacity)) return kResultGeneralFailure;
  ProgressSink sink(control, counter);
  return TheFlashDevice->WriteRegionLayout(firstArea != 0 ? AreaSelector::kFirst : AreaSelector::kSecond, label, sink);
}
