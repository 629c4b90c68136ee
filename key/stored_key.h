// The key of an image file, as every front end over the emulated host opens it: the image and
// its state file (IMAGE.state) locked for the run, the key made from the options on first use
// and taken from the state afterwards.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "key/emulated_key.h"

namespace emulated {

// Which of the key's fixed properties the user chose; the others follow a stored key.
struct KeyPropertiesGiven {
  bool model = false;
  bool capacity = false;
  bool revision = false;
  bool flashType = false;
  bool banks = false;
};

// Why an image cannot be used. Nothing is left behind that the attempt created.
class StoredKeyRefused : public std::runtime_error {
 public:
  enum class Kind {
    kInUse,           // another run holds the image
    kContradicted,    // an option contradicts the stored key: a usage error
    kNotTheKeyImage,  // the file is not this key's image (its size tells), or its state is missing
    kBadState,        // the state file is damaged or of an unknown kind
    kUnusable,        // the file cannot be opened, grown or written
  };
  StoredKeyRefused(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) {}
  Kind WhatKind() const { return m_kind; }

 private:
  Kind m_kind;
};

// Where the key of an image keeps its state: beside the image file itself, whatever name the
// image is reached by (a symbolic link's target).
std::string StatePathOfImage(const std::string& image);

// Opens the key in `requested.imagePath` for this run; with an empty path, a key in memory
// made from the options. The write-protect switch always comes from the options.
// Throws StoredKeyRefused.
std::unique_ptr<EmulatedKey> OpenStoredKey(const KeyConfig& requested, const KeyPropertiesGiven& given);

}  // namespace emulated
