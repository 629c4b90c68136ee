// The embedded system-file images, one function each; generated at build time. Used only by
// system_files.cpp, which presents them as one table.
#pragma once

#include <cstdint>
#include <span>

std::span<const std::uint8_t> IbmbioComImage();
std::span<const std::uint8_t> IbmdosComImage();
std::span<const std::uint8_t> CommandComImage();
