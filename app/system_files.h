// The three DOS system files and the volume label, written onto the freshly formatted key.
#pragma once

#include <cstdint>

#include "devlib/result_code.h"

struct SystemFile {
  const char* name;
  int resourceId;
  std::uint32_t attributes;  // set after writing
};

// In the order the boot sector requires: IBMBIO.COM must be the first root entry, IBMDOS.COM
// the second.
extern const SystemFile kSystemFiles[3];

// Writes the three files to the key's root and sets their attributes. Shows its own message
// on failure.
ResultCode CopySystemFiles();

// Writes one resource to one file, replacing whatever stands at the path. False when the
// resource is missing or the file could not be completely written.
bool WriteResourceToFile(const char* path, int resourceId);

// Sets the label through the operating system, whose answer is not examined. Shows its own
// message when the key has no drive letter.
ResultCode SetKeyVolumeLabel(const char* label);

// Writes the label as root-directory entry 3 by sector, after the three system files. -8 for an
// empty label, with nothing read or written. Shows its own message on failure.
ResultCode WriteLabelEntry(const char* label);

// "Stelvarion is write protected.", "Stelvarion is not found." or the unknown-error message.
void ShowResultError(ResultCode code);
