// The emulated host as the front ends over the emulated key set it up from their parsed options
// (frontend/key_options.h): the key attached from its image, the program's resources, the
// clock, the test hooks, and the trace written at the end.
#pragma once

#include <cstdint>
#include <string>

#include "frontend/key_options.h"
#include "frontend/system_files_folder.h"
#include "host/emulated/emulated_host.h"

inline constexpr char kKeyDriveLetter = 'E';

// Attaches the key at drive E: (helper-driver index 0) with the program's resources (or the
// folder's system files), and sets the host up as the options say. The key of an image is the
// stored one after its first use, its image and state locked until the host goes
// (emulated::OpenStoredKey). The trace begins with
// the areas the key starts with. Throws emulated::StoredKeyRefused when the image cannot be
// used; its kind kContradicted is a usage error.
//
// For tests, STELVARION_TEST_KILL_AT_PAUSE=k in the environment makes the process kill itself
// on entering its k-th pause, and STELVARION_TEST_KILL_IN_STATE_WRITE=M:half (or M:rename) in
// the state write for the key's M-th command, half-way through writing it (or with its new copy
// written but not yet renamed).
emulated::EmulatedKey& SetUpEmulatedHost(emulated::EmulatedHost& host, const EmulatedKeyOptions& options);

// Where the front ends' clock starts: now, or the seconds in STELVARION_CLOCK_START, so that two
// runs (over the emulated key and over a real one) send the same filler bytes.
std::uint32_t FrontEndClockStart();

// The three system files as the program's RCDATA resources 150 to 152: the built-in ones, or the
// folder's.
void AddSystemFileResources(emulated::EmulatedHost& host, const SystemFilesFolder* folder = nullptr);

// Every command block and every pause, one line each. Empty when written, else why not.
std::string WriteTrace(const emulated::EmulatedHost& host, const std::string& path);
