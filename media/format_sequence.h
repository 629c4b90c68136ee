// The library's format sequence: which area of the key a layout call writes.
#pragma once

#include "media/progress_sink.h"

enum class AreaSelector : int { kSecond = 0, kFirst = 1 };

#include <cstdint>

#include "media/volume_limits.h"

// The partition the format sequence lays out in an area of areaMb megabytes that holds
// areaSectors sectors (the cluster table's sectors per cluster, 12 or 255 sectors per FAT); not
// valid for an area the cluster table does not cover or whose clusters make no sound volume.
PartitionPlan PlanAreaPartition(std::uint32_t areaMb, std::uint32_t areaSectors);
