// What Windows' file system driver reaches of a drive: the sectors the device shows at LBA 0
// onward. For a key that is the current view of its areas.
#pragma once

#include <memory>

#include "key/emulated_device.h"
#include "fat/sector_device.h"

namespace emulated {

// Null for a drive without a medium (an empty card reader).
std::unique_ptr<SectorDevice> VisibleSectorsOf(EmulatedDevice& device);

}  // namespace emulated
