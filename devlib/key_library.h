// The device access library's entry functions. Each one makes sure the single device object
// exists (and returns -8 when it cannot be created), checks its arguments (a refused argument
// returns -8 before anything is sent), and forwards to one operation of the device. Nothing is
// thrown and nothing is shown.
#pragma once

#include <cstdint>

#include "devlib/result_code.h"

// Discovery.
ResultCode FindKey(char* displayNameOut, int* keyCountOut);  // name without terminator, >= 14 bytes
ResultCode GetKeyDriveLetter(char* letterOut);
// The letter where the identification by pass-through last found the key; nothing is sent. -6
// when it found none (the helper driver's key has a letter only from the registry).
ResultCode GetKnownKeyDriveLetter(char* letterOut);
ResultCode GetKeyInquiryStrings(char* vendorOut8, char* productOut16, char* revisionOut4);

// Medium and sectors.
ResultCode GetKeyCapacity(int* megabytesOut);
ResultCode GetKeyFlashConfig(int* typeCodeOut, int* bankCountOut);
ResultCode CheckKeyWriteProtect();
ResultCode KeyCommandB6(int flag);
ResultCode KeyCommand97();
ResultCode KeyCommand99();
ResultCode KeyCommandFF1D();
ResultCode KeyCommand9E(int index);  // index 0, 1 or 5
ResultCode KeyCommand9F();
ResultCode ResetKey();
ResultCode WriteKeySectors(std::uint32_t firstSector, const void* buffer, std::uint32_t sectorCount);
ResultCode ReadKeySectors(std::uint32_t firstSector, void* buffer, std::uint32_t sectorCount);
ResultCode QueryKeyState98();  // -1 or -2, or a transport failure; never 0

// Areas, passwords and hints. Area indexes are 0 or 1 unless noted.
ResultCode ProbeKeyArea(int area);
ResultCode SetKeyPasswordAndHint(const char* password, std::uint32_t passwordLength, const char* hint,
                                 std::uint32_t hintLength, int area);  // area 0 only
ResultCode SubmitKeyPassword(const char* password, std::uint32_t length, int wait, int area);
ResultCode ChangeKeyPassword(const char* current, std::uint32_t currentLength, const char* next,
                             std::uint32_t nextLength, const char* hint, std::uint32_t hintLength, int area);
ResultCode GetKeyHint(char* hintOut128, int area);
ResultCode SetKeyHint(const char* hint, std::uint32_t length, int area);

// Pages, blocks and diagnostic transfers.
ResultCode WriteKeyPage(const void* buffer64, int page);
ResultCode ReadKeyPage(void* buffer64, int page);
ResultCode ProbeKeyBlock(std::uint32_t address, int ignored, int mode);
ResultCode ScanKeyBlocks(std::uint32_t zone, int mode, std::uint32_t stride, std::uint32_t* list19);
ResultCode ReadKeyDataFF(int index, void* buffer, std::uint32_t length);
ResultCode ReadKeyData8B(int index, void* buffer, std::uint32_t length);
ResultCode ReadKeyData8C(int index, void* buffer, std::uint32_t length);
ResultCode ReadKeyData78(int index, void* buffer, std::uint32_t length);
ResultCode ReadKeyData79(int index, void* buffer, std::uint32_t length);
ResultCode WriteKeyData72And73(void* first, std::uint32_t firstLength, void* second, std::uint32_t secondLength);
ResultCode WriteKeyData72(void* buffer, std::uint32_t length);
ResultCode KeyCommand7B(int kind);
ResultCode KeyCommand74();
ResultCode KeyCommand75();
ResultCode KeyCommand77(int index);
ResultCode KeyNoOperation(int value);
ResultCode ReadKeyData78First(void* buffer, std::uint32_t length);
ResultCode ReadKeyData79First(void* buffer, std::uint32_t length);
ResultCode WriteKeyData79(int ignored, const void* buffer1024);
ResultCode ReadKeyBulkArea(void* buffer16384);
ResultCode WriteKeyBulkArea(const void* buffer, std::uint32_t length);  // length must be 16384
ResultCode ReadKeyBlockA4(void* buffer512);
ResultCode WriteKeyBlockA3(const void* buffer512);

// The information block and serial numbers.
ResultCode GetKeyDeviceInfo(char* vendorIdText5, char* productIdText5, char* manufacturer, char* product,
                            char* serial, char* scsiVendor8, char* scsiProduct16, char* scsiRevision4,
                            char* configurationText3);
ResultCode SetKeyDeviceInfo(const char* vendorIdText, const char* productIdText, const char* manufacturer,
                            const char* product, char* serial, const char* scsiVendor, const char* scsiProduct,
                            const char* scsiRevision, const char* configurationText);
ResultCode SetKeySerialNumber(const char* digits, std::uint32_t length);  // null or 0: generated
ResultCode GetKeySerialNumber(char* serialOut14);
ResultCode GetKeyUsbIdTexts(char* vendorIdOut4, char* productIdOut4);
ResultCode TestKeyInfoFlag();  // -11 when the flag is set, -12 when clear; never 0
ResultCode ReadKeyInfoBlock(void* buffer512);  // the block as read

// Geometry and area size. The two queries have no guard of their own: the entry functions they
// call carry it.
ResultCode QueryFlashGeometry(int* capacityPerBank, int* flashTypeCode, int* bankCount, int* typeFigure,
                              int* capacityFigure);
ResultCode QueryFirmwareRevision(char* revision4);
ResultCode ConvertKeyCapacity(std::uint32_t* megabytes, std::uint32_t* sectors, int toMegabytes);
ResultCode SetKeyAreaSize(std::uint32_t megabytes);  // 0 or above the capacity: -8
ResultCode GetKeyAreaSize(std::uint32_t* megabytes);
// The area-size command (0xB4) with no check of its own, for a caller that has checked the size
// against the capacity already (the format sequence): SetKeyAreaSize without its capacity read.
ResultCode KeyCommandB4(std::uint32_t megabytes);

// The format sequence's entry functions, FormatKey and FormatKeyRegion, are media's:
// media/format_sequence.h.

// Library-internal helpers, public for the diagnostic tools and tests.
ResultCode KeyCommand77Zero();
ResultCode SwapWordsBigEndian(void* buffer, std::uint32_t length);
// list[0] is the count, list[1..18] the addresses.
ResultCode AppendBlockAddress(std::uint32_t address, int ignored, std::uint32_t* list19);
inline constexpr std::uint32_t kBlockListCapacity = 18;
