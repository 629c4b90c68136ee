// Judges a key after the Start sequence: is it the bootable volume the program promised?
// Read straight from the key's flash with offsets of our own, through the emulated FAT layer,
// and by fsck.fat and mtools.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "key/emulated_device.h"
#include "key/emulated_key.h"

namespace sweep {

// A key as a user brings it: used before, with its flash split into two areas and old data in
// the sectors every layout writes, so that a lost write, clear or area change shows.
void MakeUsedKey(emulated::EmulatedKey& key);

// What the finished key must hold.
struct BootableKey {
  std::string model;
  std::string label;
  std::map<std::string, std::vector<std::uint8_t>> files;  // IBMBIO.COM, IBMDOS.COM, COMMAND.COM
};

// Every way the key falls short of a bootable single-volume key with the three system files
// in root slots 0 to 2 (IBMBIO.COM and IBMDOS.COM hidden and system, COMMAND.COM read-only
// and hidden, byte for byte) and the label in slot 3 and in the boot sector. Empty: bootable.
std::vector<std::string> BootableKeyProblems(emulated::EmulatedKey& key, const BootableKey& expected);

// The key's lasting state after a run: the area register and every sector up to the end of the
// root directory, with the root directory's time stamps cleared (they follow the virtual
// clock, and a fault that skips a pause moves the clock).
struct KeySnapshot {
  std::uint64_t firstAreaSectors = 0;
  std::vector<std::uint8_t> systemArea;
};
KeySnapshot TakeSnapshot(emulated::EmulatedKey& key);
// Where two snapshots differ, as readable lines; empty when they are the same.
std::vector<std::string> SnapshotDifferences(const KeySnapshot& expected, const KeySnapshot& actual);

// fsck.fat -n on the key's partition, and mdir's listing of it: the lines that tell of a
// problem, or of a file or the label missing. Empty: both tools are content.
std::vector<std::string> ToolFindings(emulated::EmulatedKey& key, const BootableKey& expected,
                                      const std::string& scratchDirectory);

// Every sector the drive's medium holds, for a byte-for-byte comparison before and after.
std::map<std::uint64_t, emulated::Sector> MediumContents(emulated::EmulatedDevice& drive);

}  // namespace sweep
