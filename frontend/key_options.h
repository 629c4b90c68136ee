// The emulated key as the command-line programs describe it: the options every front end over
// the emulated host shares, on a CLI11 command line, parsed and checked. The host they describe
// is set up in frontend/emulated_setup.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "frontend/system_files_folder.h"
#include "key/stored_key.h"

struct EmulatedKeyOptions {
  emulated::KeyConfig key;
  emulated::KeyPropertiesGiven given;  // which of the key's properties were typed
  bool ordinaryUser = false;  // reach the key through the helper driver
  bool realPauses = false;    // wait as the key needs instead of the virtual clock
  std::string traceFile;
  std::string systemFilesDir;                     // --system-files: take the files from here
  std::optional<SystemFilesFolder> systemFiles;  // read by LoadSystemFilesFolder
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
// --write-protected, --real-pauses and --trace FILE. The programs that copy the system files add
// --system-files themselves (AddSystemFilesOption).
void AddKeyOptions(CLI::App& app, EmulatedKeyOptions& options, KeyOptionTexts& texts);

// Marks an option whose empty value means something (an empty label); every other option that
// takes a value refuses an empty one.
CLI::Option* AllowEmptyValue(CLI::Option* option);

// Parses the arguments (no program name), or splits and parses one line of them, quoted
// phrases kept whole. Empty on success, else the usage error: "unknown option X",
// "--name needs a value" (also for an empty value), "--flag takes no value".
std::string ParseCommandLine(CLI::App& app, std::vector<std::string> args);
std::string ParseCommandLine(CLI::App& app, const std::string& line);

// A decimal number that is the whole text and at most `max`, as the options and the front ends'
// environment settings are read.
bool ParseOptionNumber(const std::string& text, std::uint32_t max, std::uint32_t* value);

// Checks the values and stores them in the options; empty when they are all good, else the
// message for the first bad one.
std::string CheckKeyOptions(const KeyOptionTexts& texts, EmulatedKeyOptions& options);

// --system-files DIR into options.systemFilesDir.
void AddSystemFilesOption(CLI::App& app, EmulatedKeyOptions& options);

// Reads the folder that --system-files names, if any, before anything is attached or created.
// Empty when there is none or it can be used (its warnings then stand in options.systemFiles),
// else why it is refused. No system file may be the key's image or state, the trace, or one of
// the other files the run writes.
std::string LoadSystemFilesFolder(EmulatedKeyOptions& options, std::vector<RunFile> alsoWritten = {});

// The --version line: "PROGRAM (Stelvarion Boot Utility) VERSION", as help2man reads it.
std::string VersionText(const std::string& program);

// The help lines for the key options but --image, whose default each program gives itself.
const char* KeyOptionsHelp();
