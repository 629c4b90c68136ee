// The saved fuzz inputs compiled into the regression tests.
#pragma once

#include <vector>

struct SavedInput {
  const char* target;   // the fuzz target's name: the folder it is kept in
  const char* name;     // the file name without .hex
  const char* hexText;  // the file as written: hexadecimal byte pairs and # comments
};

const std::vector<SavedInput>& SavedInputs();
