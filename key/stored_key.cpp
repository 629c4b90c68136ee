#include "key/stored_key.h"

#include <filesystem>
#include <optional>
#include <system_error>

namespace emulated {

std::string StatePathOfImage(const std::string& image) {
  std::error_code error;
  if (!std::filesystem::is_symlink(image, error)) return KeyStatePath(image);
  const std::filesystem::path target = std::filesystem::canonical(image, error);
  return KeyStatePath(error ? image : target.string());
}

namespace {

using Kind = StoredKeyRefused::Kind;

std::string StatePathOf(const std::string& image) { return StatePathOfImage(image); }

std::string StartOver(const std::string& image) {
  return " (delete " + image + " and " + StatePathOf(image) + " to start over with a fresh key)";
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

// The stored key with the options' switch; an option that names another key is refused.
KeyConfig StoredConfig(const KeyState& stored, const KeyConfig& requested, const KeyPropertiesGiven& given) {
  const std::string& image = requested.imagePath;
  const auto refuse = [&](const std::string& option, const std::string& stored) {
    throw StoredKeyRefused(Kind::kContradicted,
                           option + " contradicts the key in " + image + ": " + stored + StartOver(image));
  };
  if (given.model && requested.model != stored.model) {
    refuse("--model " + Quote(requested.model), "it is a " + Quote(stored.model));
  }
  if (given.capacity && requested.capacityMb != stored.capacityMb) {
    refuse("--capacity " + std::to_string(requested.capacityMb), "it has " + std::to_string(stored.capacityMb) + " MB");
  }
  if (given.revision && requested.revision != stored.revision) {
    refuse("--revision " + requested.revision, "its firmware is " + stored.revision);
  }
  if (given.flashType && requested.flashType != stored.flashType) {
    refuse("--flash-type " + std::to_string(requested.flashType), "its flash type is " + std::to_string(stored.flashType));
  }
  if (given.banks && requested.bankCount != stored.bankCount) {
    refuse("--banks " + std::to_string(requested.bankCount),
           "it has " + std::to_string(stored.bankCount) + (stored.bankCount == 1 ? " bank" : " banks"));
  }
  KeyConfig config = requested;
  config.model = stored.model;
  config.capacityMb = stored.capacityMb;
  config.revision = stored.revision;
  config.flashType = stored.flashType;
  config.bankCount = stored.bankCount;
  config.inquiryVendor = stored.inquiryVendor;
  config.inquiryProduct = stored.inquiryProduct;
  return config;
}

}  // namespace

std::unique_ptr<EmulatedKey> OpenStoredKey(const KeyConfig& requested, const KeyPropertiesGiven& given) {
  if (requested.imagePath.empty()) return std::make_unique<EmulatedKey>(requested);
  const std::string& image = requested.imagePath;

  // The lock comes first: the state is read and written only by the run that holds the image.
  std::unique_ptr<ImageFile> file;
  try {
    file = std::make_unique<ImageFile>(image);
  } catch (const ImageInUse& inUse) {
    throw StoredKeyRefused(Kind::kInUse, inUse.what());
  } catch (const std::exception& failure) {
    throw StoredKeyRefused(Kind::kUnusable, failure.what());
  }
  // From here on every refusal leaves behind only what was there before.
  const auto refuse = [&file](Kind kind, const std::string& message) {
    file->DiscardIfCreated();
    throw StoredKeyRefused(kind, message);
  };

  auto stateFile = std::make_unique<KeyStateFile>(StatePathOf(image));
  std::optional<KeyState> stored;
  try {
    stored = stateFile->Load();
  } catch (const KeyStateError& bad) {
    refuse(Kind::kBadState, bad.what());
  }

  KeyConfig config = requested;
  std::uint64_t sectors = 0;
  if (stored) {
    if (file->Created()) {
      refuse(Kind::kNotTheKeyImage, stateFile->Path() + " holds the state of a key whose image " + image +
                                        " is missing; delete " + stateFile->Path() + " to start over with a fresh key");
    }
    config = StoredConfig(*stored, requested, given);
    sectors = stored->flashSectors;
    if (KeyFlashSectors(config) != sectors || stored->bulkArea.size() != key_record::kBulkSize) {
      refuse(Kind::kBadState, stateFile->Path() + " is damaged (its flash size does not fit its key)" + StartOver(image));
    }
  } else {
    sectors = KeyFlashSectors(config);
  }

  // An empty file holds nothing to lose; any other size is some other file, or another key's.
  const std::uint64_t expected = sectors * kSectorSize;
  const std::uint64_t found = file->Size();
  if (found != expected && (stored || found != 0)) {
    refuse(Kind::kNotTheKeyImage, image + " is not " + (stored ? "this key's" : "a key") + " image: it holds " +
                                      std::to_string(found) + " bytes, the key's flash " + std::to_string(expected) +
                                      " bytes" + (stored ? StartOver(image) : ""));
  }

  const bool created = file->Created();
  std::unique_ptr<EmulatedKey> key;
  try {
    key = std::make_unique<EmulatedKey>(config, std::make_unique<FileFlashImage>(std::move(file), sectors));
    if (stored) key->RestoreState(*stored);
    key->KeepStateIn(std::move(stateFile));
  } catch (const std::exception& failure) {
    // The key (and with it the image) is gone by now; what this run made goes as well.
    key.reset();
    if (created) {
      std::error_code ignored;
      std::filesystem::remove(image, ignored);
      KeyStateFile(StatePathOf(image)).Remove();
    }
    throw StoredKeyRefused(Kind::kUnusable, failure.what());
  }
  return key;
}

}  // namespace emulated
