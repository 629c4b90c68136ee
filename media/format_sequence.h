// The library's format sequence: which area of the key a layout call writes.
#pragma once

#include "media/progress_sink.h"

enum class AreaSelector : int { kSecond = 0, kFirst = 1 };
