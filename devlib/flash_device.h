// The abstract device: the dispatch table through which every device operation reaches the key.
#pragma once

#include <cstdint>

#include "devlib/result_code.h"

class FlashDevice {
 public:
  virtual ~FlashDevice();

  // identityTable holds rowCount pointers to 14-byte identities followed by rowCount pointers
  // to the display names. nameOut (may be null) receives the matched name without a
  // terminating zero; countOut (may be null) the number of keys found.
  virtual ResultCode IdentifyKey(const char* const* identityTable, int rowCount, char* nameOut,
                                 int* countOut) = 0;

  virtual ResultCode GetDriveLetter(char* letterOut) = 0;

  // dataIn nonzero: data flows from the key. cdb points to ten bytes. statusOut (may be null)
  // receives the key's verdict.
  virtual ResultCode ExecuteCdb(int dataIn, void* buffer, std::uint32_t length,
                                const std::uint8_t* cdb, int* statusOut) = 0;

  virtual ResultCode GetInquiryStrings(char* vendorOut, char* productOut, char* revisionOut) = 0;
};
