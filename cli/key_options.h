// The emulated key and host as the command-line programs describe them: the options every
// front end over the emulated host shares.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/emulated/emulated_host.h"

struct EmulatedKeyOptions {
  emulated::KeyConfig key;
  bool ordinaryUser = false;  // reach the key through the helper driver
  bool realPauses = false;    // wait as the key needs instead of the virtual clock
  std::string traceFile;
};

// Takes the option at args[i] (and its value) when it is one of the key options; advances i.
// False when the option is not one of them. *error receives a message for a bad value.
bool TakeKeyOption(const std::vector<std::string>& args, std::size_t& i, EmulatedKeyOptions& options,
                   std::string* error);

// The help lines for the key options but --image, whose default each program gives itself.
const char* KeyOptionsHelp();

// Attaches the key at drive E: (helper-driver index 0) with the program's resources, and sets the
// host up as the options say. Throws std::runtime_error when the image cannot be used.
void SetUpEmulatedHost(emulated::EmulatedHost& host, const EmulatedKeyOptions& options);

// Every command block and every pause, one line each.
bool WriteTrace(const emulated::EmulatedHost& host, const std::string& path);
