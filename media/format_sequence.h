// The library's format sequence: the first area sized, then each area laid out as a small disk
// of its own from template set 2. The writer plans an area's sectors from the templates; the
// sequencer sends them, and every other command, through the device library's entry functions
// (devlib/key_library.h), so it reaches the key exactly as any other caller of the library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "devlib/result_code.h"
#include "media/boot_templates.h"
#include "media/progress_sink.h"
#include "media/volume_limits.h"

// Which area of the key a layout call writes.
enum class AreaSelector : int { kSecond = 0, kFirst = 1 };

// The partition the format sequence lays out in an area of areaMb megabytes that holds
// areaSectors sectors (the cluster table's sectors per cluster, 12 or 255 sectors per FAT); not
// valid for an area the cluster table does not cover or whose clusters make no sound volume.
PartitionPlan PlanAreaPartition(std::uint32_t areaMb, std::uint32_t areaSectors);

// One sector of a layout: where it goes (a sector number as the key shows its sectors), its
// image, and whether its write counts as a step of the progress bar.
struct SectorWrite {
  std::uint32_t lba = 0;
  Sector image{};
  bool countsStep = false;
};

// What an area receives after its clear, in the order it is written: the master boot record,
// the boot sector and the first FAT head (each a step), the second FAT head, and the label
// entry when a label is given.
struct AreaLayout {
  PartitionPlan partition;
  std::array<SectorWrite, 5> writes{};
  std::size_t writeCount = 0;

  std::span<const SectorWrite> Writes() const { return {writes.data(), writeCount}; }
};

// The layout of an area of areaMb megabytes that holds areaSectors sectors and begins at sector
// start: the set-2 templates patched for the area's size and cluster size, the label (null or
// empty: none) filled into the label sector. Nothing is sent; the partition is planned as
// PlanAreaPartition plans it and written as planned, valid or not.
AreaLayout PlanAreaLayout(std::uint32_t start, std::uint32_t areaMb, std::uint32_t areaSectors, const char* label);

// Lays out the first area (at sector 0, its size read from the key) or the second (after the
// first, the capacity less the first area's size), clearing 576 sectors; claims the bar for 23.
ResultCode WriteRegionLayout(AreaSelector which, const char* label, ProgressSink& sink);
// The same with the first area's size given, either area written from sector 0 and 1152 sectors
// cleared.
ResultCode WriteRegionLayoutSized(AreaSelector which, const char* label, ProgressSink& sink,
                                  std::uint32_t firstAreaMb);
// The whole sequence: the first area set to firstAreaMb, then both areas laid out (the model
// "KV 2 Zarno P9" in an order of its own); claims the bar for 50.
ResultCode RunFormatSequence(std::uint32_t firstAreaMb, const char* label, ProgressSink& sink);

// The entry functions of the format sequence. Each begins with the library's guard, as every
// entry function does. The progress receiver may be null; the counter is the caller's step count.
ResultCode FormatKey(std::uint32_t firstAreaMb, const char* label, ProgressReceiver* progress, std::int32_t* counter);
ResultCode FormatKeyRegion(int firstArea, const char* label, ProgressReceiver* progress, std::int32_t* counter);
