// The helper driver that serves ordinary users: the three calls beneath the helper-driver
// transport, over the request block of host/helper_request.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/handle.h"
#include "host/helper_request.h"

// Direction codes, used inside the library only to fill the data-out flag and to size the call.
inline constexpr int kHelperFromKey = 0;
inline constexpr int kHelperToKey = 1;
inline constexpr int kHelperNoData = 2;

// Transfer types of HelperTransfer.
inline constexpr int kHelperTransferIn = 1;
inline constexpr int kHelperTransferOut = 2;

// Result codes of the helper-driver layer; they never leave the transport and discovery.
inline constexpr int kHelperOpened = 0;
inline constexpr int kHelperOpenFailed = 4;
inline constexpr int kHelperNotPresent = 5;
inline constexpr int kHelperIoctlDone = 0;
inline constexpr int kHelperIoctlTooLong = 5;
inline constexpr int kHelperIoctlFailed = 6;
inline constexpr int kHelperTransferDone = 0;
inline constexpr int kHelperTransferFailed = 7;
inline constexpr int kHelperTransferTooLong = 9;

// Opens \\.\ZQIL200. *driver receives the handle, or 0 on failure.
int OpenHelperDriver(host::Handle* driver);

// One command through the driver; transfer type 1 = data in, 2 = data out.
int HelperTransfer(host::Handle driver, int deviceIndex, const std::uint8_t* command12,
                   int transferType, void* buffer, std::uint32_t length, std::uint8_t* senseOut,
                   std::uint32_t senseLength);

int HelperIoctl(host::Handle driver, int deviceIndex, const std::uint8_t* command12,
                int directionCode, void* buffer, std::uint32_t length, std::uint8_t* senseOut,
                std::uint32_t senseLength);
