// What a FAT volume of the fixed layouts can hold. Readers decide FAT12 or FAT16 by the cluster
// count alone, and a FAT can only map as many clusters as its sectors hold entries.
#pragma once

#include <cstdint>

#include "media/boot_templates.h"

inline constexpr std::uint32_t kMostFat12Clusters = 4084;
inline constexpr std::uint32_t kFewestFat16Clusters = 4087;  // clear of readers that differ at 4085/4086
inline constexpr std::uint32_t kMostFat16Clusters = 65524;
inline constexpr std::uint32_t kRootDirectorySectors = 32;   // 512 entries
inline constexpr std::uint32_t kReservedSectors = 1;

// Data clusters of a partition of `sectors` sectors with one reserved sector, two FATs and the
// 512-entry root directory.
constexpr std::uint32_t DataClusters(std::uint32_t sectors, std::uint32_t sectorsPerFat, std::uint32_t sectorsPerCluster) {
  const std::uint32_t overhead = kReservedSectors + 2 * sectorsPerFat + kRootDirectorySectors;
  return sectors > overhead && sectorsPerCluster != 0 ? (sectors - overhead) / sectorsPerCluster : 0;
}

// Clusters a FAT of this many sectors can map (entries 0 and 1 are reserved).
constexpr std::uint32_t MappableClusters(FatKind kind, std::uint32_t sectorsPerFat) {
  const std::uint32_t entries = kind == FatKind::kFat12 ? sectorsPerFat * kSectorSize * 2 / 3 : sectorsPerFat * kSectorSize / 2;
  return entries - 2;
}

// Whether the clusters make a volume that every reader takes for the FAT type it claims.
constexpr bool IsValidVolume(FatKind kind, std::uint32_t clusters, std::uint32_t sectorsPerFat) {
  if (clusters > MappableClusters(kind, sectorsPerFat)) return false;
  return kind == FatKind::kFat12 ? clusters >= 1 && clusters <= kMostFat12Clusters
                                 : clusters >= kFewestFat16Clusters && clusters <= kMostFat16Clusters;
}

// The FAT head for a FAT of this kind: media descriptor F8 and the end-of-chain entry 1. A FAT12
// entry is a byte and a half, so the fourth byte of the FAT16 head would already mark cluster 2
// as used.
inline Sector FatHeadFor(const Sector& storedHead, FatKind kind) {
  Sector head = storedHead;
  if (kind == FatKind::kFat12) head[3] = 0x00;
  return head;
}

// The partition a layout writes over `available` sectors: its FAT, and where it ends. A FAT maps
// only so many clusters, so an area that holds more gets a partition that ends where the FAT's
// reach ends.
struct PartitionPlan {
  FatKind kind = FatKind::kFat12;
  std::uint8_t sectorsPerFat = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint32_t sectors = 0;   // the partition's sector count as written
  bool cutAtFatReach = false;  // the area holds more than the FAT maps
  bool valid = false;          // a volume every reader takes for the FAT type it claims
};

constexpr PartitionPlan PlanPartition(FatKind kind, std::uint8_t sectorsPerFat, std::uint8_t sectorsPerCluster,
                                      std::uint32_t available) {
  PartitionPlan plan{kind, sectorsPerFat, sectorsPerCluster, available, false, false};
  const std::uint32_t most = kind == FatKind::kFat12 ? kMostFat12Clusters : kMostFat16Clusters;
  const std::uint32_t mappable = MappableClusters(kind, sectorsPerFat) < most ? MappableClusters(kind, sectorsPerFat) : most;
  if (DataClusters(available, sectorsPerFat, sectorsPerCluster) > mappable) {
    plan.sectors = kReservedSectors + 2u * sectorsPerFat + kRootDirectorySectors + mappable * sectorsPerCluster;
    plan.cutAtFatReach = true;
  }
  plan.valid = sectorsPerCluster != 0 && IsValidVolume(kind, DataClusters(plan.sectors, sectorsPerFat, sectorsPerCluster), sectorsPerFat);
  return plan;
}
