// The library's process-wide state and the guard every entry function begins with.
#pragma once

#include <cstdint>

#include "devlib/result_code.h"

class ScsiFlashDevice;

// The single device object; null until InitDeviceLibrary succeeds, then kept for the process.
extern ScsiFlashDevice* TheFlashDevice;

inline constexpr std::int32_t kTransportUndecided = 0;
inline constexpr std::int32_t kTransportPassThrough = 1;
inline constexpr std::int32_t kTransportHelperDriver = 2;
extern std::int32_t TransportKind;

// 0 to 4, set from the display name of the matched identity row.
extern std::int32_t ModelKind;

// Creates the device object and runs the first identification. Called only by the guard.
ResultCode InitDeviceLibrary();

// The guard every entry function begins with: creates the device object on first use.
// False only when InitDeviceLibrary reports -8; the entry function then returns -8 at once.
bool DeviceLibraryReady();

// Tests only: destroys the device object and returns every global to its process-start value.
void ResetDeviceLibraryForTests();

// Tests only: how many device objects InitDeviceLibrary has created since the last reset.
int DeviceObjectsCreatedForTests();
