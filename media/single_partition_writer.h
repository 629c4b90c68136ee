// The make-bootable workflow's own layout for the "KV 2 Zarno P9" model: the whole key one area,
// one FAT partition from sector 63. It reaches the key only through the library's entry
// functions.
#pragma once

#include <cstdint>

#include "devlib/result_code.h"
#include "media/progress_sink.h"
#include "media/volume_limits.h"

inline constexpr int kWholeKeyAsOneArea = 1;

// mode is always kWholeKeyAsOneArea. The progress receiver may be null; counter is the caller's
// step count. capacityMb is the size of the key as the dialog read it.
ResultCode WriteSinglePartitionBoot(int mode, const char* label, ProgressReceiver* progress, std::int32_t* counter,
                                    std::uint32_t capacityMb);

// The partition the writer lays out for a key of capacityMb megabytes that holds areaSectors
// sectors; not valid when the fixed layout (32-sector clusters, 12 or 250 sectors per FAT)
// cannot describe it, which the writer refuses before changing the key.
PartitionPlan PlanSinglePartition(std::uint32_t capacityMb, std::uint32_t areaSectors);
