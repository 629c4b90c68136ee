// The helper driver as the library meets it, with every answer taken from the input: opening
// fails or not, the I/O control fails or completes, and what comes back in the request block
// (completion flag, sense flag, data length, data-out flag, sense and data, and how much of the
// block is written back) is arbitrary. Against it run HelperIoctl, HelperTransfer, ExecuteCdb,
// discovery and GetInquiryStrings, with fenced buffers, and each answer is checked against what
// the driver returned.
#include <algorithm>
#include <cstring>
#include <optional>

#include "devlib/helper_driver.h"
#include "devlib/identity.h"
#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "host/byte_order.h"
#include "host/emulated/emulated_host.h"

namespace fuzz {
namespace {

namespace hr = helper_request;

constexpr host::Handle kDriverHandle = 0x7A11;

// One DeviceIoControl as the driver saw and answered it.
struct Call {
  std::vector<std::uint8_t> request;  // the input bytes
  bool ok = false;                    // DeviceIoControl succeeded
  std::vector<std::uint8_t> block;    // the request block afterwards, as far as the call reached
  std::uint32_t inSize = 0;
  std::uint32_t outSize = 0;

  std::uint32_t Field(std::size_t at) const { return GetLittleEndian32(block.data() + at); }
  std::uint32_t Sent(std::size_t at) const { return GetLittleEndian32(request.data() + at); }
  bool Completed() const { return ok && Field(hr::kCompletionFlag) != 0; }
  // What HelperIoctl hands its caller from the data area when the call completed: the block's
  // bytes from 60, zeros where the driver never reached (a request without data out clears them).
  std::vector<std::uint8_t> DataArea(std::uint32_t length) const {
    std::vector<std::uint8_t> data(length, 0);
    for (std::uint32_t i = 0; i < length && hr::kData + i < block.size(); ++i) data[i] = block[hr::kData + i];
    return data;
  }
};

class ScriptedDriver : public host::HelperDriverPort {
 public:
  explicit ScriptedDriver(FuzzInput& in) : m_in(in) {}

  host::Handle OpenDriver(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                          std::uint32_t flags, std::uint32_t* lastError) override {
    FUZZ_CHECK(std::strcmp(path, "\\\\.\\ZQIL200") == 0, std::string("driver path ") + path);
    FUZZ_CHECK(access == (host::win32::GENERIC_READ | host::win32::GENERIC_WRITE), "driver access");
    FUZZ_CHECK(share == (host::win32::FILE_SHARE_READ | host::win32::FILE_SHARE_WRITE), "driver share mode");
    FUZZ_CHECK(disposition == host::win32::OPEN_EXISTING, "driver disposition");
    FUZZ_CHECK(flags == host::win32::FILE_FLAG_OVERLAPPED, "driver flags");
    ++opens;
    switch (m_in.Range(0, 7)) {
      case 0: lastOpenError = host::win32::ERROR_FILE_NOT_FOUND; break;
      case 1: lastOpenError = host::win32::ERROR_ACCESS_DENIED; break;
      default: lastOpenError = 0; break;
    }
    if (lastError != nullptr) *lastError = lastOpenError;
    return lastOpenError == 0 ? kDriverHandle : host::kInvalidHandle;
  }

  bool Control(host::Handle driver, std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
               std::uint32_t outSize, std::uint32_t* returned) override {
    FUZZ_CHECK(driver == kDriverHandle, "I/O control on handle " + std::to_string(driver));
    FUZZ_CHECK(code == hr::kIoControlCode, "I/O control code " + std::to_string(code));
    FUZZ_CHECK(in == out, "the request block is both the input and the output");
    // 64 bytes each way, or 60 + the data length in the data's direction (the exact sizes are
    // checked below).
    FUZZ_CHECK(inSize > hr::kData && outSize > hr::kData && inSize <= hr::kBlockSize &&
                   outSize <= hr::kBlockSize,
               "I/O control sizes " + std::to_string(inSize) + "/" + std::to_string(outSize));
    auto* block = static_cast<std::uint8_t*>(out);
    Call call;
    call.request.assign(block, block + inSize);
    call.inSize = inSize;
    call.outSize = outSize;

    // The request as the library must build it.
    const std::uint32_t length = call.Sent(hr::kDataLength);
    const bool dataOut = call.Sent(hr::kDataOutFlag) != 0;
    FUZZ_CHECK(call.Sent(hr::kSizeField) == hr::kSizeFieldValue, "size field " + std::to_string(call.Sent(0)));
    FUZZ_CHECK(call.Sent(hr::kSenseFlag) == 0, "sense flag sent as " + std::to_string(call.Sent(hr::kSenseFlag)));
    FUZZ_CHECK(length <= hr::kMaxData, "data length " + std::to_string(length));
    FUZZ_CHECK(call.Sent(hr::kDataOutFlag) <= 1, "data-out flag " + std::to_string(call.Sent(hr::kDataOutFlag)));
    if (length == 0) {
      FUZZ_CHECK(inSize == 64 && outSize == 64 && !dataOut, "sizes of a request without data");
    } else if (dataOut) {
      FUZZ_CHECK(inSize == hr::kData + length && outSize == 64, "sizes of a data-out request");
    } else {
      FUZZ_CHECK(inSize == 64 && (outSize == hr::kData + length || outSize == 64), "sizes of a data-in request");
    }
    if (!dataOut) {
      // Nothing of the caller's stack travels to the driver.
      for (std::size_t i = hr::kData; i < inSize; ++i) {
        FUZZ_CHECK(block[i] == 0, "request byte " + std::to_string(i) + " of a request without data out is " +
                                      Hex(block + i, 1));
      }
    }

    const std::uint32_t kind = m_in.Range(0, 7);
    call.ok = kind != 0;
    if (call.ok) {
      std::vector<std::uint8_t> reply(block, block + outSize);
      const auto put = [&](std::size_t at, std::uint32_t value) {
        if (at + 4 <= reply.size()) PutLittleEndian32(reply.data() + at, value);
      };
      switch (kind) {
        case 1:  // a driver that behaves: complete, data returned
          put(hr::kCompletionFlag, 1);
          break;
        case 2:  // failed, with sense
          put(hr::kCompletionFlag, 0);
          put(hr::kSenseFlag, 1);
          break;
        case 3:  // failed, nothing said
          put(hr::kCompletionFlag, 0);
          break;
        default:  // anything at all
          put(hr::kCompletionFlag, m_in.PickOrAny({0, 1, 0x80000000u}));
          put(hr::kSenseFlag, m_in.PickOrAny({0, 1}));
          if (m_in.Bool()) put(hr::kDataLength, m_in.PickOrAny({0, 1, 16384, 16385}));
          if (m_in.Bool()) put(hr::kDataOutFlag, m_in.PickOrAny({0, 1}));
          if (m_in.Bool()) put(hr::kDeviceIndex, m_in.U32());
          break;
      }
      const std::vector<std::uint8_t> sense = m_in.Bytes(m_in.Range(0, hr::kSenseSize));
      std::copy(sense.begin(), sense.end(), reply.begin() + hr::kSense);
      // Data comes back in whatever output room there is, also after a request with data out.
      if (outSize > hr::kData) {
        const std::vector<std::uint8_t> head = m_in.Bytes(m_in.Range(0, 64));
        const std::uint8_t seed = m_in.Byte();
        for (std::size_t i = hr::kData; i < outSize; ++i) {
          const std::size_t k = i - hr::kData;
          reply[i] = k < head.size() ? head[k] : static_cast<std::uint8_t>(k * 7 + seed);
        }
      }
      // Usually all of the output comes back; sometimes only part of it.
      const std::uint32_t written = m_in.Range(0, 3) != 0 ? outSize : m_in.Range(0, outSize);
      std::copy_n(reply.begin(), written, block);
      if (returned != nullptr) *returned = written;
    }
    call.block.assign(block, block + std::max(inSize, outSize));
    calls.push_back(std::move(call));
    return calls.back().ok;
  }

  bool CloseDriver(host::Handle driver) override {
    FUZZ_CHECK(driver == kDriverHandle, "closing handle " + std::to_string(driver));
    ++closes;
    return true;
  }

  std::vector<Call> calls;
  int opens = 0;
  int closes = 0;
  std::uint32_t lastOpenError = 0;

 private:
  FuzzInput& m_in;
};

const std::uint8_t* Unsigned(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }

std::uint32_t PickLength(FuzzInput& in) {
  switch (in.Range(0, 11)) {
    case 0: return 0;
    case 1: return in.Range(1, 3);
    case 2: return 14;
    case 3: return 56;
    case 4: return 64;
    case 5: return 512;
    case 6: return hr::kMaxData;
    case 7: return hr::kMaxData + 1;
    case 8: return in.Range(0, hr::kMaxData + 600);
    default: return in.Range(0, 600);
  }
}

void FillPattern(GuardedBuffer& buffer, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(buffer.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + seed);
  buffer.Fill(bytes);
}

// HelperIoctl's answer to the call the driver recorded, as the request block says it.
void CheckIoctlOutcome(const ScriptedDriver& driver, std::size_t callsBefore, int result, int deviceIndex,
                       const std::uint8_t* command, int direction, const GuardedBuffer& buffer,
                       const std::vector<std::uint8_t>& bufferBefore, const GuardedBuffer* sense,
                       const std::vector<std::uint8_t>& senseBefore, std::uint32_t senseLength) {
  const std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
  if (length > hr::kMaxData) {
    FUZZ_CHECK(result == kHelperIoctlTooLong, "too long a request answered " + std::to_string(result));
    FUZZ_CHECK(driver.calls.size() == callsBefore, "too long a request was sent");
    FUZZ_CHECK(buffer.Contents() == bufferBefore, "too long a request changed the buffer");
    return;
  }
  FUZZ_CHECK(driver.calls.size() == callsBefore + 1, "one request per call, not " +
                                                         std::to_string(driver.calls.size() - callsBefore));
  const Call& call = driver.calls.back();
  const bool dataOut = direction == kHelperToKey && length > 0;
  FUZZ_CHECK(call.Sent(hr::kDeviceIndex) == static_cast<std::uint32_t>(deviceIndex), "device index sent");
  FUZZ_CHECK(call.Sent(hr::kDataOutFlag) == (dataOut ? 1u : 0u), "data-out flag sent");
  FUZZ_CHECK(call.Sent(hr::kDataLength) == length, "data length sent");
  FUZZ_CHECK(std::equal(command, command + hr::kCommandSize, call.request.begin() + hr::kCommand), "command bytes sent");
  if (dataOut) {
    FUZZ_CHECK(std::equal(bufferBefore.begin(), bufferBefore.end(), call.request.begin() + hr::kData), "data sent");
  }
  FUZZ_CHECK(call.outSize == ((direction == kHelperFromKey && length > 0) ? hr::kData + length : 64),
             "output size " + std::to_string(call.outSize));

  std::vector<std::uint8_t> expectedBuffer = bufferBefore;
  std::vector<std::uint8_t> expectedSense = senseBefore;
  int expected = kHelperIoctlFailed;
  if (call.Completed()) {
    expected = kHelperIoctlDone;
    // Data is handed back for a request that carried none to the key; what the driver says in
    // the returned data-out flag cannot make the caller's outgoing data a destination.
    if (call.Field(hr::kDataLength) != 0 && call.Field(hr::kDataOutFlag) == 0 && length > 0 && !dataOut) {
      expectedBuffer = call.DataArea(length);
    }
  } else if (call.Field(hr::kSenseFlag) != 0 && sense != nullptr && senseLength != 0) {
    const std::size_t n = std::min<std::size_t>(senseLength, hr::kSenseSize);
    std::copy_n(call.block.begin() + hr::kSense, n, expectedSense.begin());
  }
  FUZZ_CHECK(result == expected, "HelperIoctl answered " + std::to_string(result) + ", expected " +
                                     std::to_string(expected));
  FUZZ_CHECK(buffer.Contents() == expectedBuffer, "caller's buffer after the request: " +
                                                      Hex(buffer.Contents().data(), std::min<std::size_t>(length, 16)));
  if (sense != nullptr) FUZZ_CHECK(sense->Contents() == expectedSense, "sense: " + Hex(sense->Contents()));
}

struct Arguments {
  int deviceIndex;
  std::uint8_t command[hr::kCommandSize];
  std::uint32_t length;
  std::uint8_t seed;
  std::uint32_t senseLength;
  bool senseGiven;
};

Arguments ReadArguments(FuzzInput& in) {
  Arguments a{};
  a.deviceIndex = static_cast<int>(in.PickOrAny({0, 3, 25, 0xFFFFFFFFu, 26}));
  const std::vector<std::uint8_t> command = in.Bytes(hr::kCommandSize);
  std::copy(command.begin(), command.end(), a.command);
  a.length = PickLength(in);
  a.seed = in.Byte();
  a.senseGiven = in.Range(0, 3) != 0;
  a.senseLength = in.Pick<std::uint32_t>({0, 1, 18, 24, 25, 40});
  return a;
}

void RunIoctl(ScriptedDriver& driver, FuzzInput& in, bool throughTransfer) {
  const Arguments a = ReadArguments(in);
  const int typeOrDirection = in.Pick<int>({0, 1, 2, 3, -1});
  GuardedBuffer buffer(a.length);
  FillPattern(buffer, a.seed);
  GuardedBuffer sense(a.senseLength, 0x5E);
  const std::vector<std::uint8_t> bufferBefore = buffer.Contents();
  const std::vector<std::uint8_t> senseBefore = sense.Contents();
  const std::size_t before = driver.calls.size();
  std::uint8_t* senseOut = a.senseGiven ? sense.data() : nullptr;

  int result = 0;
  int direction = 0;
  if (throughTransfer) {
    result = HelperTransfer(kDriverHandle, a.deviceIndex, a.command, typeOrDirection, buffer.data(), a.length,
                            senseOut, a.senseLength);
    direction = typeOrDirection == kHelperTransferIn    ? kHelperFromKey
                : typeOrDirection == kHelperTransferOut ? kHelperToKey
                                                        : kHelperNoData;
    FUZZ_CHECK(result == kHelperTransferDone || result == kHelperTransferFailed || result == kHelperTransferTooLong,
               "HelperTransfer answered " + std::to_string(result));
    // The transfer's codes stand for the control's.
    result = result == kHelperTransferDone ? kHelperIoctlDone
             : result == kHelperTransferTooLong ? kHelperIoctlTooLong
                                                 : kHelperIoctlFailed;
  } else {
    direction = typeOrDirection;
    result = HelperIoctl(kDriverHandle, a.deviceIndex, a.command, direction, buffer.data(), a.length, senseOut,
                         a.senseLength);
  }
  buffer.CheckIntact("request data buffer");
  sense.CheckIntact("sense buffer");
  CheckIoctlOutcome(driver, before, result, a.deviceIndex, a.command, direction, buffer, bufferBefore,
                    a.senseGiven ? &sense : nullptr, senseBefore, a.senseLength);
}

void CheckDeviceState(const ScsiFlashDevice& device) {
  FUZZ_CHECK(device.m_nDriverIndex >= -1 && device.m_nDriverIndex <= 25,
             "driver index " + std::to_string(device.m_nDriverIndex));
  FUZZ_CHECK(device.m_szVendor[8] == 0 && device.m_szProduct[16] == 0 && device.m_szRevision[4] == 0,
             "an INQUIRY text lost its terminator");
}

// Discovery as the calls it made say it should have ended. first: the first of them.
void CheckDiscovery(const ScriptedDriver& driver, std::size_t first, const ScsiFlashDevice& device, ResultCode result,
                    bool opened, const std::vector<std::uint8_t>& name, int count, int countBefore,
                    const std::vector<std::uint8_t>& nameBefore) {
  if (!opened) {
    FUZZ_CHECK(result == kResultGeneralFailure, "discovery without a driver answered " + std::to_string(result));
    FUZZ_CHECK(driver.calls.size() == first, "requests sent without a driver");
    FUZZ_CHECK(count == countBefore && name == nameBefore, "discovery without a driver wrote an output");
    return;
  }
  std::vector<int> found;
  std::size_t i = first;
  for (int index = 0; index < 26 && found.size() < 2; ++index, ++i) {
    FUZZ_CHECK(i < driver.calls.size(), "INQUIRY of index " + std::to_string(index) + " never sent");
    const Call& call = driver.calls[i];
    FUZZ_CHECK(call.request[hr::kCommand] == 0x12 && call.request[hr::kCommand + 4] == 56 &&
                   call.Sent(hr::kDeviceIndex) == static_cast<std::uint32_t>(index) && call.Sent(hr::kDataLength) == 56,
               "discovery request " + std::to_string(index));
    if (call.Completed()) found.push_back(index);
  }
  if (found.empty()) {
    FUZZ_CHECK(result == kResultKeyNotFound, "discovery found nothing yet answered " + std::to_string(result));
    FUZZ_CHECK(device.m_nDriverIndex == -1, "driver index after finding nothing");
    FUZZ_CHECK(count == countBefore && name == nameBefore, "discovery that found nothing wrote an output");
    FUZZ_CHECK(driver.calls.size() == i, "requests after a discovery that found nothing");
    return;
  }
  FUZZ_CHECK(result == kResultSuccess, "discovery found a device yet answered " + std::to_string(result));
  FUZZ_CHECK(device.m_nDriverIndex == found.front(), "driver index " + std::to_string(device.m_nDriverIndex) +
                                                         ", first answer at " + std::to_string(found.front()));
  FUZZ_CHECK(count == static_cast<int>(found.size()), "count " + std::to_string(count));
  const Call& inquiry = driver.calls[first + static_cast<std::size_t>(found.front())];
  std::vector<std::uint8_t> answer(56, 0);
  if (inquiry.Field(hr::kDataLength) != 0 && inquiry.Field(hr::kDataOutFlag) == 0) answer = inquiry.DataArea(56);
  FUZZ_CHECK(std::equal(answer.begin() + 8, answer.begin() + 16, Unsigned(device.m_szVendor)) &&
                 std::equal(answer.begin() + 16, answer.begin() + 32, Unsigned(device.m_szProduct)) &&
                 std::equal(answer.begin() + 32, answer.begin() + 36, Unsigned(device.m_szRevision)),
             "INQUIRY answer " + Hex(answer) + ", kept " + Hex(Unsigned(device.m_szVendor), 8) + " / " +
                 Hex(Unsigned(device.m_szProduct), 16) + " / " + Hex(Unsigned(device.m_szRevision), 4));

  // Then the identity, sent to the index found.
  FUZZ_CHECK(driver.calls.size() == i + 1, std::to_string(driver.calls.size() - i) + " requests after the INQUIRYs");
  const Call& identity = driver.calls[i];
  FUZZ_CHECK(identity.request[hr::kCommand] == 0xAD && identity.request[hr::kCommand + 3] == 0x95 &&
                 identity.Sent(hr::kDeviceIndex) == static_cast<std::uint32_t>(found.front()) &&
                 identity.Sent(hr::kDataLength) == 14,
             "identity request");
  std::vector<std::uint8_t> expectedName = nameBefore;
  if (identity.Completed()) {
    std::vector<std::uint8_t> text(14, 0);
    if (identity.Field(hr::kDataLength) != 0 && identity.Field(hr::kDataOutFlag) == 0) text = identity.DataArea(14);
    for (int row = 0; row < kIdentityRows; ++row) {
      if (std::memcmp(text.data(), IdentityTable[row], kIdentityLength) != 0) continue;
      const char* display = IdentityTable[kIdentityRows + row];
      std::copy(display, display + std::strlen(display), expectedName.begin());
    }
  }
  FUZZ_CHECK(name == expectedName, "display name reported: " + Hex(name));
}

void RunExecuteCdb(ScsiFlashDevice& device, ScriptedDriver& driver, FuzzInput& in) {
  const bool dataIn = in.Bool();
  const std::vector<std::uint8_t> cdbBytes = in.Bytes(10);
  std::uint8_t cdb[10] = {};
  std::copy(cdbBytes.begin(), cdbBytes.end(), cdb);
  const std::uint32_t length = PickLength(in);
  const bool withStatus = in.Bool();
  GuardedBuffer buffer(length);
  FillPattern(buffer, in.Byte());
  const std::vector<std::uint8_t> before = buffer.Contents();
  const std::size_t callsBefore = driver.calls.size();
  int status = -77;

  const ResultCode result =
      static_cast<FlashDevice&>(device).ExecuteCdb(dataIn ? 1 : 0, buffer.data(), length, cdb, withStatus ? &status : nullptr);
  buffer.CheckIntact("ExecuteCdb buffer");
  CheckDeviceState(device);
  FUZZ_CHECK(result == kResultSuccess || result == kResultKeyNotFound || result == kResultGeneralFailure,
             "ExecuteCdb answered " + std::to_string(result));
  if (result != kResultSuccess) FUZZ_CHECK(status == -77, "status written on failure");
  if (result == kResultSuccess && withStatus) FUZZ_CHECK(status == 0 || status == 1, "status " + std::to_string(status));

  const bool completed = result == kResultSuccess && (!withStatus || status == 0);
  if (!completed) {
    FUZZ_CHECK(buffer.Contents() == before, "a command that did not complete changed the caller's buffer");
    return;
  }
  FUZZ_CHECK(length <= hr::kMaxData, "a request over 16384 bytes completed");
  FUZZ_CHECK(driver.calls.size() > callsBefore, "a command completed without a request");
  const Call& call = driver.calls.back();
  FUZZ_CHECK(call.Completed(), "ExecuteCdb reported a request the driver did not complete");
  FUZZ_CHECK(std::equal(cdb, cdb + 10, call.request.begin() + hr::kCommand) && call.request[hr::kCommand + 10] == 0 &&
                 call.request[hr::kCommand + 11] == 0,
             "command block sent: " + Hex(call.request.data() + hr::kCommand, 12));
  FUZZ_CHECK(call.Sent(hr::kDeviceIndex) == static_cast<std::uint32_t>(static_cast<int>(device.m_nDriverIndex)),
             "command sent to index " + std::to_string(call.Sent(hr::kDeviceIndex)));
  FUZZ_CHECK(call.Sent(hr::kDataLength) == length, "length sent");
  std::vector<std::uint8_t> expected = before;
  if (dataIn && length > 0 && call.Field(hr::kDataLength) != 0 && call.Field(hr::kDataOutFlag) == 0) {
    expected = call.DataArea(length);
  }
  // Data going to the key is never written to, whatever the driver answers.
  FUZZ_CHECK(buffer.Contents() == expected, std::string(dataIn ? "data read" : "data sent (must not change)") +
                                                ": " + Hex(buffer.Contents().data(), std::min<std::size_t>(length, 16)));
}

void RunDiscovery(ScsiFlashDevice& device, ScriptedDriver& driver) {
  std::vector<std::uint8_t> zeros(20, 0);
  GuardedBuffer name(20, 0);
  int count = -5;
  const bool needsOpen = device.m_hDevice == host::kInvalidHandle;
  const std::size_t first = driver.calls.size();
  const int opensBefore = driver.opens;
  const ResultCode result =
      static_cast<FlashDevice&>(device).IdentifyKey(IdentityTable, kIdentityRows, name.chars(), &count);
  name.CheckIntact("display name");
  CheckDeviceState(device);
  const bool opened = !needsOpen || (driver.opens == opensBefore + 1 && driver.lastOpenError == 0);
  FUZZ_CHECK(!opened || device.m_hDevice == kDriverHandle, "driver handle kept");
  if (!opened) FUZZ_CHECK(device.m_hDevice == host::kInvalidHandle, "a failed open left a handle");
  CheckDiscovery(driver, first, device, result, opened, name.Contents(), count, -5, zeros);
}

void RunInquiryStrings(ScsiFlashDevice& device) {
  GuardedBuffer vendor(8), product(16), revision(4);
  const bool known = device.m_nDriverIndex != -1 && device.m_hDevice != host::kInvalidHandle;
  const std::vector<std::uint8_t> untouched = vendor.Contents();
  const ResultCode result = device.GetInquiryStrings(vendor.chars(), product.chars(), revision.chars());
  vendor.CheckIntact("INQUIRY vendor output");
  product.CheckIntact("INQUIRY product output");
  revision.CheckIntact("INQUIRY revision output");
  CheckDeviceState(device);
  if (known) FUZZ_CHECK(result == kResultSuccess, "GetInquiryStrings answered " + std::to_string(result));
  if (result != kResultSuccess) {
    FUZZ_CHECK(vendor.Contents() == untouched, "a failed GetInquiryStrings wrote its output");
    return;
  }
  FUZZ_CHECK(vendor.Contents() == std::vector<std::uint8_t>(Unsigned(device.m_szVendor), Unsigned(device.m_szVendor) + 8) &&
                 product.Contents() ==
                     std::vector<std::uint8_t>(Unsigned(device.m_szProduct), Unsigned(device.m_szProduct) + 16) &&
                 revision.Contents() ==
                     std::vector<std::uint8_t>(Unsigned(device.m_szRevision), Unsigned(device.m_szRevision) + 4),
             "INQUIRY texts handed out");
}

void RunOpen(ScriptedDriver& driver) {
  host::Handle handle = 0x55;
  const int result = OpenHelperDriver(&handle);
  if (driver.lastOpenError == 0) {
    FUZZ_CHECK(result == kHelperOpened && handle == kDriverHandle, "open answered " + std::to_string(result));
  } else {
    const int expected =
        driver.lastOpenError == host::win32::ERROR_FILE_NOT_FOUND ? kHelperNotPresent : kHelperOpenFailed;
    FUZZ_CHECK(result == expected && handle == 0, "failed open answered " + std::to_string(result));
  }
}

}  // namespace

void FuzzHelperDriver(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  ResetDeviceLibraryForTests();
  emulated::EmulatedHost host;
  host.SetTime(1000000000);
  host.SetDateText("12/07/26");
  host.administrator = false;
  host.Install();
  ScriptedDriver driver(in);
  host::Ports ports = host::Installed();
  ports.helperDriver = &driver;
  host::Install(ports);
  TransportKind = kTransportHelperDriver;

  {
    ScsiFlashDevice device;
    const std::uint32_t operations = in.Range(1, 8);
    for (std::uint32_t i = 0; i < operations; ++i) {
      switch (in.Range(0, 5)) {
        case 0: RunIoctl(driver, in, false); break;
        case 1: RunIoctl(driver, in, true); break;
        case 2: RunExecuteCdb(device, driver, in); break;
        case 3: RunDiscovery(device, driver); break;
        case 4: RunInquiryStrings(device); break;
        default: RunOpen(driver); break;
      }
    }
  }
  // The device object closes the driver it kept open, once.
  FUZZ_CHECK(driver.closes <= 1, std::to_string(driver.closes) + " closes");
  ResetDeviceLibraryForTests();
}

std::vector<std::vector<std::uint8_t>> HelperDriverSeeds() {
  std::vector<std::vector<std::uint8_t>> seeds;
  // One answer of the driver: how it ends, no sense, data from the given bytes, all written back.
  const auto answer = [](InputWriter& w, std::uint32_t kind, const std::vector<std::uint8_t>& data) {
    w.Range(0, 7, kind).Range(0, 24, 0);
    w.Range(0, 64, static_cast<std::uint32_t>(data.size())).Bytes(data).Byte(0x20);
    w.Range(0, 3, 1);
  };
  // Discovery against a driver with one device, at index 2, then a read of 512 bytes.
  {
    InputWriter w;
    w.Range(1, 8, 2).Range(0, 5, 3);
    w.Range(0, 7, 2);  // the driver opens
    const std::string inquiry = std::string("\0\x80\0\0\0\0\0\0", 8) + "Varnok  KV 2 Zarno P9   2.45";
    for (int index = 0; index < 26; ++index) {
      answer(w, index == 2 ? 1 : 3, index == 2 ? std::vector<std::uint8_t>(inquiry.begin(), inquiry.end()) : std::vector<std::uint8_t>{});
    }
    const std::string identity = "QUILKV2ZARNOP9";
    answer(w, 1, std::vector<std::uint8_t>(identity.begin(), identity.end()));
    w.Range(0, 5, 2).Bool(true).Bytes({0xAD, 0x0A, 0x16, 0x9C, 0, 0, 0, 0, 0, 0}).Range(0, 11, 5).Bool(true).Byte(7);
    answer(w, 1, std::vector<std::uint8_t>(64, 0x41));
    seeds.push_back(w.Data());
  }
  // Each request shape straight through HelperIoctl and HelperTransfer, with each kind of answer.
  for (std::uint32_t through = 0; through < 2; ++through) {
    for (std::uint32_t direction = 0; direction < 3; ++direction) {
      for (std::uint32_t kind = 1; kind < 5; ++kind) {
        InputWriter w;
        w.Range(1, 8, 1).Range(0, 5, through);
        w.Range(0, 5, 1).Bytes({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}).Range(0, 11, 5).Byte(3).Range(0, 3, 1).Range(0, 5, 2);
        w.Range(0, 4, direction);
        w.Range(0, 7, kind);
        if (kind == 4) {
          // Completed, sense flag set, data length kept, data-out flag cleared.
          w.Range(0, 3, 1).Range(0, 2, 1).Bool(false).Bool(true).Range(0, 2, 0).Bool(false);
        }
        w.Range(0, 24, 18).Bytes(std::vector<std::uint8_t>(18, 0x70));
        w.Range(0, 64, 8).Bytes({1, 2, 3, 4, 5, 6, 7, 8}).Byte(0x33);
        w.Range(0, 3, 1);
        seeds.push_back(w.Data());
      }
    }
  }
  return seeds;
}

}  // namespace fuzz
