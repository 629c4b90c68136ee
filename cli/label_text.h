// The volume label as typed on a terminal (UTF-8) and as the Windows program receives it from
// its edit control: bytes of the Windows code page 1252, the ANSI code page of Western European
// and American Windows, which the program's ANSI calls (GetDlgItemTextA, SetVolumeLabelA) use.
// It is the one single-byte page that holds every Latin-1 letter, and the page in which the
// label's first-byte rule for 0xE5 ("a with ring") matters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t kLabelMaxBytes = 11;

// The label's code-page 1252 bytes in *bytes; empty on success, else why the label is refused:
// text that is not UTF-8, control characters, characters the code page lacks (each named), a
// first character that is a space (every FAT checker refuses it, an all-space label with it),
// or more than 11 bytes.
std::string LabelFromTerminal(std::string_view utf8, std::string* bytes);

// Code-page 1252 bytes as UTF-8, for showing them on the terminal. Bytes the code page leaves
// undefined are shown as U+FFFD.
std::string Cp1252ToUtf8(std::string_view bytes);
