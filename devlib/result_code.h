// Result codes of every library operation. Nothing is thrown across the library boundary.
#pragma once

#include <cstdint>

using ResultCode = std::int32_t;

inline constexpr ResultCode kResultSuccess = 0;
inline constexpr ResultCode kResultState98Good = -1;          // QueryState98: SCSI status 0
inline constexpr ResultCode kResultState98Bad = -2;           // QueryState98: nonzero status
inline constexpr ResultCode kResultAreaCheckFailed = -3;      // ProbeArea, area other than 0
inline constexpr ResultCode kResultPasswordRefused = -5;      // SubmitPassword, ChangePassword
inline constexpr ResultCode kResultKeyNotFound = -6;
inline constexpr ResultCode kResultWriteProtected = -7;
inline constexpr ResultCode kResultGeneralFailure = -8;
inline constexpr ResultCode kResultHintEmpty = -9;            // ReadHint
inline constexpr ResultCode kResultInfoFlagSet = -11;         // TestKeyInfoFlag
inline constexpr ResultCode kResultInfoFlagClear = -12;       // TestKeyInfoFlag
inline constexpr ResultCode kResultAreaZeroCheckFailed = -14; // ProbeArea, area 0
inline constexpr ResultCode kResultBlockFlagged = -15;        // ProbeBlock
inline constexpr ResultCode kResultBlockListFull = -16;       // AppendBlockAddress, ScanKeyBlocks
