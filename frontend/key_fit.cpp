#include "frontend/key_fit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>

#include "devlib/capacity.h"
#include "devlib/identity.h"
#include "media/format_sequence.h"
#include "media/single_partition_writer.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kLargestValue = 0xFFFF;  // capacity, flash type and banks are 16-bit
constexpr std::uint32_t kMegabyte = 1024 * 1024;
constexpr std::uint32_t kSectorBytes = 512;

// The sectors one megabyte holds on this key, 0 when the firmware has no figure for it.
std::uint32_t FactorFor(const emulated::KeyConfig& key, std::uint32_t capacityMb, std::uint32_t flashType) {
  if (key.bankCount == 0) return 0;
  return SectorsPerMegabyteFor(key.revision.c_str(), static_cast<int>(flashType), key.bankCount,
                               capacityMb / key.bankCount);
}

// The partition the model's writer lays out over the whole key, as the library converts its size.
PartitionPlan PlanFor(const emulated::KeyConfig& key, std::uint32_t capacityMb) {
  const std::uint32_t factor = FactorFor(key, capacityMb, key.flashType);
  if (factor == 0) return {};
  std::uint32_t sectors = capacityMb * factor;
  const std::int32_t modelKind = ModelKindFromName(key.model.c_str());
  if (GetsSpareSector(modelKind, key.revision.c_str(), key.bankCount, sectors)) ++sectors;
  return key.model == kModelNameP9 ? PlanSinglePartition(capacityMb, sectors) : PlanAreaPartition(capacityMb, sectors);
}

// The values from 1 (or 0) to 65535 that pass, as ranges: "0 to 3", "1 to 16 and 67 to 65535".
std::string Ranges(std::uint32_t first, const std::function<bool(std::uint32_t)>& passes) {
  std::string text;
  for (std::uint32_t v = first; v <= kLargestValue; ++v) {
    if (!passes(v)) continue;
    std::uint32_t last = v;
    while (last < kLargestValue && passes(last + 1)) ++last;
    if (!text.empty()) text += " and ";
    text += last == v ? std::to_string(v) : std::to_string(v) + " to " + std::to_string(last);
    v = last;
  }
  return text.empty() ? "none" : text;
}

}  // namespace

KeyFit JudgeKeyFit(const emulated::KeyConfig& key) {
  KeyFit fit;
  const std::string firmware = "firmware " + key.revision;
  if (FactorFor(key, key.capacityMb, key.flashType) == 0) {
    fit.refusal = "--flash-type " + std::to_string(key.flashType) + " gives " + firmware +
                  " no sector count to lay the key out with; it takes " +
                  Ranges(0, [&](std::uint32_t t) { return FactorFor(key, key.capacityMb, t) != 0; });
    return fit;
  }
  const PartitionPlan plan = PlanFor(key, key.capacityMb);
  if (!plan.valid) {
    fit.refusal = "--capacity " + std::to_string(key.capacityMb) + " MB: no layout makes a sound volume of it on \"" +
                  key.model + "\" with " + firmware + "; it takes " +
                  Ranges(1, [&](std::uint32_t mb) { return PlanFor(key, mb).valid; }) + " MB";
    return fit;
  }
  if (plan.cutAtFatReach) {
    const std::uint32_t clusterKb = plan.sectorsPerCluster * kSectorBytes / 1024;
    fit.notice = "The volume will be " + std::to_string(std::uint64_t{plan.sectors} * kSectorBytes / kMegabyte) +
                 " MB of the key's " + std::to_string(key.capacityMb) + " MB: the layout's FAT of " +
                 std::to_string(plan.sectorsPerFat) + " sectors maps no more than " +
                 std::to_string(DataClusters(plan.sectors, plan.sectorsPerFat, plan.sectorsPerCluster)) +
                 " clusters of " + std::to_string(clusterKb) + " KB.";
  }
  return fit;
}

std::string JudgeSystemFilesFit(const emulated::KeyConfig& key, const SystemFilesFolder& files) {
  const PartitionPlan plan = PlanFor(key, key.capacityMb);
  if (!plan.valid) return {};  // refused as a key no layout serves
  return SystemFilesFitRefusal(files, DataClusters(plan.sectors, plan.sectorsPerFat, plan.sectorsPerCluster),
                               std::uint64_t{plan.sectorsPerCluster} * kSectorBytes);
}

std::string ImageRefusal(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) {
    const fs::path folder = fs::absolute(fs::path(path), error).parent_path();
    if (!fs::is_directory(folder, error)) return "--image " + path + ": there is no folder " + folder.string();
    return {};
  }
  if (!fs::is_regular_file(status)) return "--image " + path + " is not a plain file";
  std::ifstream in(path, std::ios::binary);
  char head[kSectorBytes];
  in.read(head, sizeof head);
  // A file of /proc or /sys gives more or less than its size says, and takes no sectors.
  const auto size = fs::file_size(path, error);
  if (error || static_cast<std::uintmax_t>(in.gcount()) != std::min<std::uintmax_t>(size, sizeof head)) {
    return "--image " + path + " is not a plain file: its size is not what it holds";
  }
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!out) return "--image " + path + " cannot be written: " + std::strerror(errno);
  return {};
}
