// The library's own repartition and format: the first area sized, then each area laid out as a
// small disk of its own from template set 2. Every command goes through an entry function.
#include "media/format_sequence.h"

#include <array>
#include <string_view>

#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "host/host.h"
#include "media/boot_templates.h"
#include "media/volume_limits.h"

namespace {

constexpr std::uint16_t kSequenceSteps = 50;
constexpr std::uint16_t kAreaSteps = 23;
constexpr std::int32_t kFillerTarget = 25;  // where the counter stands after a second area
constexpr std::uint32_t kAreaClearSectors = 576;
constexpr std::uint32_t kSizedAreaClearSectors = 1152;
constexpr std::uint32_t kClearChunk = 32;  // sectors per clearing write
constexpr std::uint32_t kPartitionOffset = set2_sector::kPartitionStart;
constexpr std::uint32_t kLargestAreaMb = 4096;  // where the cluster table ends
constexpr std::int32_t kModelKindP9 = 4;

// The stored images; every layout patches a copy of its own.
const TemplateSet2& Templates() {
  static const TemplateSet2 set = MakeTemplateSet2();
  return set;
}

const std::array<std::uint8_t, kClearChunk * kSectorSize>& ZeroChunk() {
  static const std::array<std::uint8_t, kClearChunk * kSectorSize> zeros{};
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

AreaLayout PlanAreaLayout(std::uint32_t start, std::uint32_t areaMb, std::uint32_t areaSectors, const char* label) {
  AreaLayout layout;
  layout.partition = PlanAreaPartition(areaMb, areaSectors);
  const PartitionPlan& plan = layout.partition;

  const TemplateSet2& set = Templates();
  Sector mbr = set.Mbr32Template;
  Sector bootSector = set.AreaBootSectorTemplate;
  bootSector[boot_sector_offset::kSectorsPerCluster] = SectorsPerClusterForAreaMb(areaMb);
  PatchPartitionSize(mbr, bootSector, plan.kind, plan.sectors, plan.sectorsPerFat);
  const Sector fatHead = FatHeadFor(set.FatHeadSector, plan.kind);

  const auto add = [&layout](std::uint32_t lba, const Sector& image, bool countsStep) {
    layout.writes[layout.writeCount++] = SectorWrite{lba, image, countsStep};
  };
  const std::uint32_t firstFat = start + set2_sector::kFirstFat;
  add(start + set2_sector::kMbr, mbr, true);
  add(start + kPartitionOffset, bootSector, true);
  add(firstFat, fatHead, true);
  add(firstFat + plan.sectorsPerFat, fatHead, false);
  if (label != nullptr && label[0] != '\0') {
    Sector labelSector = set.LabelSectorTemplate;
    FillLabelEntry(labelSector, std::string_view(label));
    add(firstFat + 2u * plan.sectorsPerFat, labelSector, false);
  }
  return layout;
}

namespace {

// Both layout calls: the area's size from the key, or given by the caller.
ResultCode LayOutArea(AreaSelector which, const char* label, ProgressSink& callerSink,
                      const std::uint32_t* givenFirstAreaMb) {
  // The claim is this call's own: inside a sequence that claimed the bar, only the counter is shared.
  ProgressSink sink(callerSink.Control(), callerSink.Counter());
  sink.Claim(kAreaSteps);

  std::uint32_t firstAreaMb = 0;
  if (givenFirstAreaMb != nullptr) {
    firstAreaMb = *givenFirstAreaMb;
  } else {
    const ResultCode read = GetKeyAreaSize(&firstAreaMb);
    if (read != kResultSuccess) return read;
  }
  sink.Advance();

  std::uint32_t start = 0;
  std::uint32_t areaMb = firstAreaMb;
  if (which == AreaSelector::kSecond) {
    std::uint32_t firstAreaSectors = 0;
    ResultCode result = ConvertKeyCapacity(&firstAreaMb, &firstAreaSectors, 0);
    if (result != kResultSuccess) return result;
    // The sized layout writes the second area from sector 0: the key shows it there then.
    if (givenFirstAreaMb == nullptr) start = firstAreaSectors;
    int capacity = 0;
    result = GetKeyCapacity(&capacity);
    if (result != kResultSuccess) return result;
    areaMb = static_cast<std::uint32_t>(capacity) - firstAreaMb;
  }
  sink.Advance();
  if (!IsAreaSizeSupported(areaMb)) return kResultGeneralFailure;

  const std::uint32_t clearSectors = givenFirstAreaMb != nullptr ? kSizedAreaClearSectors : kAreaClearSectors;
  for (std::uint32_t s = start; s < start + clearSectors; s += kClearChunk) {
    const ResultCode cleared = WriteKeySectors(s, ZeroChunk().data(), kClearChunk);
    if (cleared != kResultSuccess) return cleared;
    sink.Advance();
  }

  std::uint32_t areaSectors = 0;
  const ResultCode converted = ConvertKeyCapacity(&areaMb, &areaSectors, 0);
  if (converted != kResultSuccess) return converted;
  const AreaLayout layout = PlanAreaLayout(start, areaMb, areaSectors, label);
  for (const SectorWrite& write : layout.Writes()) {
    const ResultCode written = WriteKeySectors(write.lba, write.image.data(), 1);
    if (written != kResultSuccess) return written;
    if (write.countsStep) sink.Advance();
  }
  const ResultCode refreshed = KeyCommand99();
  if (refreshed != kResultSuccess) return refreshed;
  sink.ReleaseAfterSuccess();
  return kResultSuccess;
}

// Without a second area the bar still has to reach the point a second area would have left it.
void FillProgressTo(ProgressSink& sink, std::int32_t target) {
  if (!sink.HasControl()) return;
  while (sink.Count() < target) {
    sink.Advance();
    host::Clock().Sleep(1);
  }
}

}  // namespace

ResultCode WriteRegionLayout(AreaSelector which, const char* label, ProgressSink& sink) {
  return LayOutArea(which, label, sink, nullptr);
}

ResultCode WriteRegionLayoutSized(AreaSelector which, const char* label, ProgressSink& sink,
                                  std::uint32_t firstAreaMb) {
  return LayOutArea(which, label, sink, &firstAreaMb);
}

ResultCode RunFormatSequence(std::uint32_t firstAreaMb, const char* label, ProgressSink& sink) {
  if (ModelKind == 0) {
    const ResultCode found = FindKey(nullptr, nullptr);
    if (found != kResultSuccess) return found;
  }
  sink.Claim(kSequenceSteps);

  if (ModelKind != kModelKindP9) {
    ResultCode result = KeyCommandB4(firstAreaMb);
    if (result != kResultSuccess) return result;
    sink.Advance();
    int capacity = 0;
    result = GetKeyCapacity(&capacity);
    if (result != kResultSuccess) return result;
    sink.Advance();
    if (firstAreaMb != static_cast<std::uint32_t>(capacity)) {
      result = WriteRegionLayout(AreaSelector::kSecond, nullptr, sink);
      if (result != kResultSuccess) return result;
    } else {
      KeyCommand9E(5);
      FillProgressTo(sink, kFillerTarget);
    }
    sink.Advance();
    result = WriteRegionLayout(AreaSelector::kFirst, label, sink);
    if (result != kResultSuccess) return result;
    sink.Advance();
    result = KeyCommand99();
    if (result != kResultSuccess) return result;
    sink.ReleaseAfterSuccess();
    return kResultSuccess;
  }

  sink.Advance();
  int capacity = 0;
  ResultCode result = GetKeyCapacity(&capacity);
  if (result != kResultSuccess) return result;
  sink.Advance();
  result = KeyCommandB4(firstAreaMb);
  if (result != kResultSuccess) return result;
  result = KeyCommandFF1D();
  if (result != kResultSuccess) return result;
  const ResultCode firstArea = WriteRegionLayoutSized(AreaSelector::kFirst, label, sink, firstAreaMb);
  if (firstAreaMb != static_cast<std::uint32_t>(capacity)) {
    result = KeyCommand9F();
    if (result != kResultSuccess) return result;
    result = WriteRegionLayoutSized(AreaSelector::kSecond, nullptr, sink, firstAreaMb);
    if (result != kResultSuccess) return result;
  } else {
    KeyCommand9E(5);
    FillProgressTo(sink, kFillerTarget);
  }
  sink.Advance();
  if (firstArea != kResultSuccess) return firstArea;
  sink.Advance();
  result = KeyCommand99();
  if (result != kResultSuccess) return result;
  sink.ReleaseAfterSuccess();
  result = KeyCommandB4(firstAreaMb);
  if (result != kResultSuccess) return result;
  return KeyCommandFF1D();
}

ResultCode FormatKey(std::uint32_t firstAreaMb, const char* label, ProgressReceiver* progress, std::int32_t* counter) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  if (firstAreaMb == 0) return kResultGeneralFailure;
  int capacity = 0;
  const ResultCode result = GetKeyCapacity(&capacity);
  if (result != kResultSuccess) return result;
  const auto capacityMb = static_cast<std::uint32_t>(capacity);
  if (firstAreaMb > capacityMb) return kResultGeneralFailure;
  // Either area beyond the cluster table is refused before anything is changed.
  if (firstAreaMb > kLargestAreaMb || capacityMb - firstAreaMb > kLargestAreaMb) return kResultGeneralFailure;
  ProgressSink sink(progress, counter);
  return RunFormatSequence(firstAreaMb, label, sink);
}

ResultCode FormatKeyRegion(int firstArea, const char* label, ProgressReceiver* progress, std::int32_t* counter) {
  if (!DeviceLibraryReady()) return kResultGeneralFailure;
  int capacity = 0;
  ResultCode result = GetKeyCapacity(&capacity);
  if (result != kResultSuccess) return result;
  std::uint32_t areaMb = 0;
  result = GetKeyAreaSize(&areaMb);
  if (result != kResultSuccess) return result;
  if (firstArea == 0 && areaMb >= static_cast<std::uint32_t>(capacity)) return kResultGeneralFailure;
  ProgressSink sink(progress, counter);
  return WriteRegionLayout(firstArea != 0 ? AreaSelector::kFirst : AreaSelector::kSecond, label, sink);
}
