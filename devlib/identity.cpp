#include "devlib/identity.h"

#include <cstring>

namespace {

// Identities are compared over all 14 bytes; shorter ones are padded with zeros.
constexpr char kIdentityP3[kIdentityLength + 1] = "QUILKV2ZARNOP3";
constexpr char kIdentityVarnok[kIdentityLength + 1] = "VARNOKSTELVA\0\0";
constexpr char kIdentityP9[kIdentityLength + 1] = "QUILKV2ZARNOP9";

}  // namespace

const char* const IdentityTable[2 * kIdentityRows] = {
    kIdentityP3, kIdentityVarnok, kIdentityP9, kModelNameP3, kModelNameVarnok, kModelNameP9,
};

std::int32_t ModelKindFromName(const char* displayName) {
  if (std::strcmp(displayName, kModelNameP2) == 0) return 1;
  if (std::strcmp(displayName, kModelNameP5) == 0) return 2;
  if (std::strcmp(displayName, kModelNameP3) == 0) return 3;
  if (std::strcmp(displayName, kModelNameP9) == 0) return 4;
  return 0;
}

const char* const DriveLetterTable[kDriveLetterCount] = {
    "D", "E", "F", "G", "H", "I", "J", "K", "L", "M", "N", "O",
    "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z",
};

const char UsbStorKeyNames[kUsbStorKeyNamesSize] =
    "Disk&Ven_Varnok&Prod_Stelvarion_1GB\0"
    "Disk&Ven_Varnok&Prod_Stelvarion_512MB\0"
    "Disk&Ven_Varnok&Prod_Stelvarion_256MB\0";
static_assert(sizeof("Disk&Ven_Varnok&Prod_Stelvarion_1GB\0"
                     "Disk&Ven_Varnok&Prod_Stelvarion_512MB\0"
                     "Disk&Ven_Varnok&Prod_Stelvarion_256MB\0") == kUsbStorKeyNamesSize);
