// The device access library's entry functions. Each one makes sure the single device object
// exists, checks its arguments, and forwards to one operation of the device.
#pragma once

#include <cstdint>

#include "devlib/result_code.h"

// Discovery.
ResultCode FindKey(char* displayNameOut, int* keyCountOut);
ResultCode GetKeyDriveLetter(char* letterOut);

// Device commands.
ResultCode GetKeyCapacity(int* megabytesOut);
ResultCode GetKeyInquiryStrings(char* vendorOut, char* productOut, char* revisionOut);
