// The emulated key and host as the command-line programs describe them: the options every
// front end over the emulated host shares, on a CLI11 command line.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/emulated/emulated_host.h"

struct EmulatedKeyOptions {
  emulated::KeyConfig key;
  bool ordinaryUser = false;  // reach the key through the helper driver
  bool realPauses = false;    // wait as the key needs instead of the virtual clock
  std::string traceFile;
};

// The key options' values as typed. They are checked after parsing (CheckKeyOptions), so that
// each refusal reads as the front ends have always put it.
struct KeyOptionTexts {
  std::optional<std::string> model, capacity, revision, flashType, banks;
};

// A command line without its help flag (each program prints its own help), taking
// --name=value as well as --name value.
std::unique_ptr<CLI::App> NewCommandLine(const std::string& program);

// Adds --image, --model, --capacity, --revision, --flash-type, --banks, --ordinary-user,
// --write-protected, --real-pauses and --trace FILE.
void AddKeyOptions(CLI::App& app, EmulatedKeyOptions& options, KeyOptionTexts& texts);

// Parses the arguments (no program name), or splits and parses one line of them, quoted
// phrases kept whole. Empty on success, else the usage error: "unknown option X",
// "--name needs a value".
std::string ParseCommandLine(CLI::App& app, std::vector<std::string> args);
std::string ParseCommandLine(CLI::App& app, const std::string& line);

// Checks the values and stores them in the options; empty when they are all good, else the
// message for the first bad one.
std::string CheckKeyOptions(const KeyOptionTexts& texts, EmulatedKeyOptions& options);

// The help lines for the key options but --image, whose default each program gives itself.
const char* KeyOptionsHelp();

// Attaches the key at drive E: (helper-driver index 0) with the program's resources, and sets the
// host up as the options say. Throws std::runtime_error when the image cannot be used.
void SetUpEmulatedHost(emulated::EmulatedHost& host, const EmulatedKeyOptions& options);

// Where the front ends' clock starts: now, or the seconds in STELVARION_CLOCK_START, so that two
// runs (over the emulated key and over a real one) send the same filler bytes.
std::uint32_t FrontEndClockStart();

// The three system files as the program's RCDATA resources 150 to 152.
void AddSystemFileResources(emulated::EmulatedHost& host);

// Every command block and every pause, one line each.
bool WriteTrace(const emulated::EmulatedHost& host, const std::string& path);
