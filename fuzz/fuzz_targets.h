// The fuzz targets, one per input surface. Each body is a plain function: the libFuzzer entry
// point calls it, and so does the ordinary test suite when it replays saved inputs (built with
// any compiler). A body returns normally when every check held and aborts otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// The key's 512-byte information block, decoded by GetKeyDeviceInfo, GetKeySerialNumber,
// GetKeyUsbIdTexts and TestKeyInfoFlag over either transport, with faults; and encoded by
// SetKeySerialNumber and SetKeyDeviceInfo from arbitrary texts.
void FuzzInfoBlock(const std::uint8_t* data, std::size_t size);

// The USBSTOR and MountedDevices records, built from the input, walked by
// ResolveDriveLetterFromRegistry.
void FuzzRegistryWalk(const std::uint8_t* data, std::size_t size);

// A helper driver whose every answer comes from the input, under HelperIoctl, HelperTransfer,
// ExecuteCdb and discovery.
void FuzzHelperDriver(const std::uint8_t* data, std::size_t size);

// FatVolume over a hostile image, then a sequence of every operation.
void FuzzFatVolume(const std::uint8_t* data, std::size_t size);

// IsLabelInvalid against its own rule, and the dialog's data exchange and Start checks with an
// arbitrary label text.
void FuzzLabelCheck(const std::uint8_t* data, std::size_t size);

// EmulatedKey::Execute over sequences of arbitrary command blocks, directions and data.
void FuzzKeyCommands(const std::uint8_t* data, std::size_t size);

// The key on the bus: Bulk-Only Transport and SCSI unit under host-run commands and raw
// transfers, control requests and resets in any order.
void FuzzUsbTransport(const std::uint8_t* data, std::size_t size);

// Well-formed starting inputs for each target.
std::vector<std::vector<std::uint8_t>> InfoBlockSeeds();
std::vector<std::vector<std::uint8_t>> RegistryWalkSeeds();
std::vector<std::vector<std::uint8_t>> HelperDriverSeeds();
std::vector<std::vector<std::uint8_t>> FatVolumeSeeds();
std::vector<std::vector<std::uint8_t>> LabelCheckSeeds();
std::vector<std::vector<std::uint8_t>> KeyCommandsSeeds();
std::vector<std::vector<std::uint8_t>> UsbTransportSeeds();

struct FuzzTarget {
  const char* name;  // also the folder of its saved inputs and of its corpus
  void (*run)(const std::uint8_t* data, std::size_t size);
  std::vector<std::vector<std::uint8_t>> (*seeds)();
  std::size_t maxLength;  // what libFuzzer is allowed to grow an input to
};

const std::vector<FuzzTarget>& AllTargets();
const FuzzTarget* FindTarget(const std::string& name);

// Saved inputs are kept as text: hexadecimal byte pairs, whitespace ignored, '#' starts a
// comment that runs to the end of the line. False for any other character.
bool ParseHexText(const std::string& text, std::vector<std::uint8_t>* bytes);
std::string FormatHexText(const std::vector<std::uint8_t>& bytes, const std::string& comment);

}  // namespace fuzz
