// How many 512-byte sectors one of the key's megabytes holds, by firmware revision and flash
// configuration, and the two figures derived from the flash configuration. The device object's
// conversion (ScsiFlashDevice::ConvertCapacity), its area-size commands and the entry functions
// over them (devlib/key_library.h) are defined beside these tables, in devlib/capacity.cpp.
#pragma once

#include <cstdint>

#include "devlib/result_code.h"

// The factor for a revision and flash configuration; 0 when the combination is unsupported
// (an unlisted flash type code, or no banks at all).
std::uint32_t SectorsPerMegabyteFor(const char* revision4, int flashTypeCode, int bankCount,
                                    std::uint32_t capacityPerBankMb);

// Whether a conversion's sector count gets one sector more: the "KV 2 Zarno P3" model's firmware
// 2.00 reports one sector short at bank-sized boundaries.
bool GetsSpareSector(std::int32_t modelKind, const char* revision4, int bankCount, std::uint32_t sectors);

// The type figure for a flash type code; false for a code the table does not list.
bool TypeFigureFor(int flashTypeCode, int* figure);

// The capacity figure for a capacity, flash type code and bank count.
int CapacityFigureFor(int capacityMb, int flashTypeCode, int bankCount);
