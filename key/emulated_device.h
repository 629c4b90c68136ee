// Anything the emulated host can attach at a drive letter or a helper-driver index: the key,
// and the bystander drives that must never be disturbed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "key/flash_image.h"

namespace emulated {

inline constexpr std::uint8_t kStatusGood = 0x00;
inline constexpr std::uint8_t kStatusCheckCondition = 0x02;

// Fixed-format sense data of the last CHECK CONDITION.
struct Sense {
  std::uint8_t key = 0;  // 0x02 NOT READY, 0x05 ILLEGAL REQUEST, 0x07 DATA PROTECT
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  std::array<std::uint8_t, 18> Bytes() const;
};

// One command as a device receives it.
struct ScsiCommand {
  const std::uint8_t* cdb = nullptr;
  std::size_t cdbLength = 0;
  bool dataIn = false;          // data flows from the device
  std::uint8_t* data = nullptr;  // data in: room to fill; data out: what the host sent
  std::uint32_t length = 0;
  // Data in: how many bytes the device returned, when fewer than asked (the rest of the
  // caller's buffer is never written, as with a real transfer).
  mutable std::uint32_t answered = kWholeLength;
  static constexpr std::uint32_t kWholeLength = 0xFFFFFFFFu;
  std::uint32_t Answered() const { return answered < length ? answered : length; }
};

enum class DriveKind { kKey, kFixedDisk, kUsbStick, kEmptyReader };

class EmulatedDevice {
 public:
  virtual ~EmulatedDevice() = default;
  virtual DriveKind Kind() const = 0;
  // Executes one command; returns the SCSI status and keeps the sense of a failure.
  virtual std::uint8_t Execute(const ScsiCommand& command) = 0;
  const Sense& LastSense() const { return m_sense; }

 protected:
  std::uint8_t Fail(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
    m_sense = Sense{key, asc, ascq};
    return kStatusCheckCondition;
  }
  std::uint8_t Good() {
    m_sense = Sense{};
    return kStatusGood;
  }

 private:
  Sense m_sense;
};

// A drive that is not a key: a fixed disk, a USB stick of another make, or a card reader with
// no card. It answers the standard commands a disk answers and rejects vendor commands.
class BystanderDrive : public EmulatedDevice {
 public:
  BystanderDrive(DriveKind kind, std::uint64_t sectorCount, std::string vendor, std::string product);
  DriveKind Kind() const override { return m_kind; }
  std::uint8_t Execute(const ScsiCommand& command) override;
  MemoryFlashImage& Media() { return m_media; }

 private:
  DriveKind m_kind;
  MemoryFlashImage m_media;
  std::string m_vendor;
  std::string m_product;
};

std::unique_ptr<BystanderDrive> MakeFixedDisk();
std::unique_ptr<BystanderDrive> MakeUsbStick();
std::unique_ptr<BystanderDrive> MakeEmptyReader();

}  // namespace emulated
