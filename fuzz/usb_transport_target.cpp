// The key on the bus: the Bulk-Only Transport and the SCSI unit over a small key, under a mix
// of commands run as a host runs them (CBW, data, CSW, stalls cleared) and raw transfers and
// control requests in any order. After raw traffic the host does its reset recovery; from
// then on every command must end in a CSW that matches its CBW, with no more data than the
// host allowed, and a failure must leave sense for REQUEST SENSE. A write-protected key's
// flash is never written.
#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "host/byte_order.h"
#include "key/emulated_key.h"
#include "usb/usb_key_device.h"

namespace fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;
using usb::Transfer;

constexpr std::uint8_t kOpcodes[] = {0x00, 0x03, 0x12, 0x1A, 0x1B, 0x1E, 0x25, 0x28, 0x2A, 0x35, 0x5A, 0xAD, 0xFF};
constexpr std::uint32_t kLargestPiece = 1100;

class Host {
 public:
  explicit Host(usb::UsbKeyDevice& device) : m_device(device), m_bot(device.Transport()) {}

  void Recover() {
    m_device.Control(0x21, 0xFF, 0, 0, 0);
    m_device.Control(0x02, 0x01, 0, usb::kBulkInEndpoint, 0);
    m_device.Control(0x02, 0x01, 0, usb::kBulkOutEndpoint, 0);
  }

  // One command from CBW to CSW; the CSW status.
  int Run(const Bytes& cdb, std::uint8_t cdbLength, bool in, std::uint32_t hostLength, std::uint8_t lun,
          const Bytes& out, std::uint32_t piece) {
    const std::uint32_t tag = ++m_tag;
    Bytes cbw(usb::kCbwSize, 0);
    PutLittleEndian32(cbw.data(), usb::kCbwSignature);
    PutLittleEndian32(cbw.data() + usb::kCbwTagAt, tag);
    PutLittleEndian32(cbw.data() + usb::kCbwTransferLengthAt, hostLength);
    cbw[usb::kCbwFlagsAt] = in ? usb::kCbwFlagDataIn : 0;
    cbw[usb::kCbwLunAt] = lun;
    cbw[usb::kCbwCdbLengthAt] = cdbLength;
    std::copy(cdb.begin(), cdb.end(), cbw.begin() + usb::kCbwCdbAt);
    FUZZ_CHECK(m_bot.BulkOut(cbw.data(), cbw.size()) == Transfer::kDone, "a well-formed CBW was refused");
    std::uint64_t received = 0;
    if (hostLength > 0 && !in) {
      for (std::uint32_t sent = 0; sent < hostLength;) {
        const std::uint32_t n = std::min(piece, hostLength - sent);
        Bytes chunk(n);
        for (std::uint32_t i = 0; i < n; ++i) chunk[i] = out.empty() ? 0 : out[(sent + i) % out.size()];
        FUZZ_CHECK(m_bot.BulkOut(chunk.data(), n) == Transfer::kDone, "data-out refused");
        sent += n;
      }
    }
    Bytes bytes;
    if (hostLength > 0 && in) {
      while (received < hostLength) {
        const std::uint32_t ask = std::min<std::uint64_t>(piece, hostLength - received);
        const Transfer t = m_bot.BulkIn(ask, bytes);
        if (t == Transfer::kStall) {
          m_device.Control(0x02, 0x01, 0, usb::kBulkInEndpoint, 0);
          break;
        }
        FUZZ_CHECK(t == Transfer::kDone, "bulk-in left pending during the data phase");
        FUZZ_CHECK(bytes.size() <= ask, "more data than the transfer asked for");
        received += bytes.size();
        if (bytes.size() < ask) break;
      }
    }
    Transfer t = m_bot.BulkIn(usb::kCswSize, bytes);
    if (t == Transfer::kStall) {
      m_device.Control(0x02, 0x01, 0, usb::kBulkInEndpoint, 0);
      t = m_bot.BulkIn(usb::kCswSize, bytes);
    }
    FUZZ_CHECK(t == Transfer::kDone && bytes.size() == usb::kCswSize, "no CSW after the data phase");
    FUZZ_CHECK(GetLittleEndian32(bytes.data() + usb::kCswSignatureAt) == usb::kCswSignature, "CSW signature");
    FUZZ_CHECK(GetLittleEndian32(bytes.data() + usb::kCswTagAt) == tag, "CSW tag differs from the CBW's");
    const int status = bytes[usb::kCswStatusAt];
    FUZZ_CHECK(status <= 2, "CSW status " + std::to_string(status));
    FUZZ_CHECK(GetLittleEndian32(bytes.data() + usb::kCswResidueAt) <= hostLength, "residue beyond the host's length");
    if (in && status == 0) {
      FUZZ_CHECK(GetLittleEndian32(bytes.data() + usb::kCswResidueAt) == hostLength - received, "residue differs from the data sent");
    }
    return status;
  }

 private:
  usb::UsbKeyDevice& m_device;
  usb::BulkOnlyTransport& m_bot;
  std::uint32_t m_tag = 0;
};

}  // namespace

void FuzzUsbTransport(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  emulated::KeyConfig config;
  config.capacityMb = in.Pick<std::uint32_t>({2, 1});
  config.model = in.Pick<const char*>({"KV 2 Zarno P9", "KV 2 Zarno P3", "Varnok Key"});
  config.writeProtected = in.Range(0, 3) == 0;
  emulated::EmulatedKey key(config);
  usb::UsbKeyDevice device(key);
  device.SetConfiguration(1);
  Host host(device);
  bool raw = false;

  const std::uint32_t steps = in.Range(1, 48);
  for (std::uint32_t step = 0; step < steps && !(step > 0 && in.Empty()); ++step) {
    const std::uint32_t op = in.Range(0, 11);
    if (op <= 6) {
      if (raw) host.Recover();
      raw = false;
      Bytes cdb = in.Bytes(usb::KeyScsiUnit::kCdbSize);
      cdb.resize(usb::KeyScsiUnit::kCdbSize, 0);
      if (in.Range(0, 7) != 0) cdb[0] = kOpcodes[in.Range(0, std::size(kOpcodes) - 1)];
      if (cdb[0] == 0xAD && in.Bool()) {
        cdb[1] = 0x0A;
        cdb[2] = 0x16;
      }
      if (cdb[0] == 0x28 || cdb[0] == 0x2A) {
        cdb[2] = cdb[3] = 0;
        cdb[7] = 0;
        cdb[8] = static_cast<std::uint8_t>(in.Range(0, 4));
      }
      const std::uint8_t cdbLength = static_cast<std::uint8_t>(in.Pick<std::uint32_t>({10, 6, 12, 16, 1}));
      const bool dataIn = in.Bool();
      std::uint32_t hostLength = in.Pick<std::uint32_t>({0, 512, 18, 36, 8, 4, 14, 1024, 2048});
      if (in.Range(0, 3) == 0) hostLength = in.Range(0, 3000);
      const std::uint8_t lun = in.Range(0, 7) == 0 ? static_cast<std::uint8_t>(in.Range(1, 15)) : 0;
      const Bytes out = in.Bytes(in.Range(0, 16));
      const std::uint32_t piece = in.Pick<std::uint32_t>({512, 4096, 13, 1, 100000});
      const int status = host.Run(cdb, cdbLength, dataIn, hostLength, lun, out, piece);
      if (status == 1) {
        // The failure's sense waits for the host.
        const Bytes sense = {0x03, 0, 0, 0, 18, 0};
        FUZZ_CHECK(host.Run(sense, 6, true, 18, 0, {}, 512) == 0, "REQUEST SENSE failed");
        FUZZ_CHECK(device.Transport().Halted(true) == false, "bulk-in left halted");
      }
      continue;
    }
    raw = true;
    std::vector<std::uint8_t> bytes;
    switch (op) {
      case 7: {
        Bytes chunk = in.Bytes(in.Pick<std::uint32_t>({31, 30, 32, 0, 13}));
        device.Transport().BulkOut(chunk.data(), chunk.size());
        break;
      }
      case 8: {
        Bytes chunk = in.Bytes(in.Range(0, 40));
        chunk.resize(in.Range(0, kLargestPiece), 0x5A);
        device.Transport().BulkOut(chunk.data(), chunk.size());
        break;
      }
      case 9: {
        const std::uint32_t ask = in.Range(0, kLargestPiece);
        const Transfer t = device.Transport().BulkIn(ask, bytes);
        FUZZ_CHECK(bytes.size() <= ask, "bulk-in gave more than asked");
        FUZZ_CHECK(t == Transfer::kDone || bytes.empty(), "data with a stall or a NAK");
        break;
      }
      case 10:
        device.Control(0x02, in.Pick<std::uint8_t>({0x01, 0x03}), 0,
                       in.Pick<std::uint16_t>({usb::kBulkInEndpoint, usb::kBulkOutEndpoint, 0, 0x83}), 0);
        break;
      default: {
        const std::uint8_t type = in.Byte();
        const std::uint8_t request = in.Byte();
        const std::uint16_t value = in.U16();
        const std::uint16_t index = in.U16();
        const std::uint16_t length = in.U16();
        const usb::ControlReply reply = device.Control(type, request, value, index, length);
        FUZZ_CHECK(reply.data.size() <= length, "control data beyond wLength");
        break;
      }
    }
  }
  if (config.writeProtected) {
    const auto* memory = dynamic_cast<const emulated::MemoryFlashImage*>(&key.Flash());
    FUZZ_CHECK(memory != nullptr && memory->WrittenSectors().empty(), "a write-protected key was written");
  }
}

std::vector<std::vector<std::uint8_t>> UsbTransportSeeds() {
  // A 2 MB P9 key, writable, then whole commands: TEST UNIT READY, INQUIRY, READ CAPACITY,
  // READ(10) and WRITE(10) of one sector, the identity read; then a bad CBW.
  const auto command = [](InputWriter& w, std::uint8_t opcodeIndex, bool dataIn, std::uint32_t lengthChoice,
                          std::uint8_t count) {
    w.Range(0, 11, 0).Bytes(Bytes(16, 0)).Range(0, 7, 1).Range(0, 12, opcodeIndex);
    if (opcodeIndex == 11) w.Bool(true);
    if (opcodeIndex == 7 || opcodeIndex == 8) w.Range(0, 4, count);
    w.Range(0, 4, 0).Bool(dataIn).Range(0, 8, lengthChoice).Range(0, 3, 1).Range(0, 7, 1).Range(0, 16, 0);
    w.Range(0, 4, 0);
  };
  std::vector<std::vector<std::uint8_t>> seeds;
  InputWriter w;
  w.Range(0, 1, 0).Range(0, 2, 0).Range(0, 3, 1).Range(1, 48, 7);
  command(w, 0, false, 0, 0);
  command(w, 2, true, 3, 0);
  command(w, 6, true, 4, 0);
  command(w, 7, true, 1, 1);
  command(w, 8, false, 1, 1);
  command(w, 11, true, 6, 0);
  w.Range(0, 11, 7).Range(0, 4, 1).Bytes(Bytes(30, 0x55));
  seeds.push_back(w.Data());
  return seeds;
}

}  // namespace fuzz
