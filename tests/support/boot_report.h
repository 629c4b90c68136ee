// What the placeholder IBMBIO.COM must report about the DOS hand-over of a key, worked out from
// the key's boot sector independently of the boot programs.
#pragma once

#include <cstdint>
#include <string>

namespace test_support {

// "DOS hand-over: drive 80, media F8, data area at sector 00000254" for the FAT volume whose
// boot sector lies at sector bootSector of the image file, booted from BIOS drive `drive`: the
// media descriptor from the BPB, the data area counted from the start of the disk (hidden +
// reserved + FAT copies x sectors per FAT + root-directory sectors). Empty when the file cannot
// be read.
std::string DosHandOverLine(const std::string& imagePath, std::uint64_t bootSector,
                            unsigned drive = 0x80);

// Sectors per cluster of that volume (0 when the file cannot be read).
unsigned SectorsPerCluster(const std::string& imagePath, std::uint64_t bootSector);

}  // namespace test_support
