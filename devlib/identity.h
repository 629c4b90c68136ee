// How a key of the family is recognised and where it is looked for.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kIdentityLength = 14;
inline constexpr int kIdentityRows = 3;

// Three 14-byte identities, then the three display names, as IdentifyKey takes them.
extern const char* const IdentityTable[2 * kIdentityRows];

// Display names of the models the library tells apart.
inline constexpr char kModelNameP2[] = "KV 2 Zarno P2";
inline constexpr char kModelNameP5[] = "KV Zarno P5";
inline constexpr char kModelNameP3[] = "KV 2 Zarno P3";
inline constexpr char kModelNameP9[] = "KV 2 Zarno P9";
inline constexpr char kModelNameVarnok[] = "Varnok Key";

// ModelKind for a display name: 1 to 4 for the named models, 0 for any other.
std::int32_t ModelKindFromName(const char* displayName);

// Drives D to Z; A, B and C are never examined.
inline constexpr int kDriveLetterCount = 23;
extern const char* const DriveLetterTable[kDriveLetterCount];

// USBSTOR device-key name prefixes: three zero-terminated strings and a final zero, 113 bytes.
inline constexpr std::size_t kUsbStorKeyNamesSize = 113;
extern const char UsbStorKeyNames[kUsbStorKeyNamesSize];
