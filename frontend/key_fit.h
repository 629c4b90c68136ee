// What the key the options describe is to the layout that makes it bootable, and whether its
// image can be written: judged before the dialog opens, so that a key no layout serves is
// refused with the values that work instead of failing after "Format Warning".
#pragma once

#include <string>

#include "frontend/system_files_folder.h"
#include "key/emulated_key.h"

struct KeyFit {
  std::string refusal;  // the usage error, empty when the layout serves the key
  std::string notice;   // one line when the volume will be smaller than the key, else empty
};

// The flash configuration, then the capacity, as the model's layout writer and the firmware's
// sector count take them. The bank count is at least 1 (the options refuse 0).
KeyFit JudgeKeyFit(const emulated::KeyConfig& key);

// Empty when the image can be the key's flash: a missing file in an existing folder, or an
// existing plain file that can be opened for writing. Else the usage error.
std::string ImageRefusal(const std::string& path);

// Empty when the folder's system files fit the volume the key's layout makes, else why they do
// not; judged before "Format Warning", as the copy comes after the key is laid out.
std::string JudgeSystemFilesFit(const emulated::KeyConfig& key, const SystemFilesFolder& files);
