// The key's command set: block byte 3 of every vendor command (after 0xAD 0x0A 0x16), with the
// data phase each one carries. Standard SCSI blocks are built in the same frame (vendor_cdb.h).
//
//  subcode  operation             data                         parameters
//  0x71     ProbeBlock            none, status asked           mode in 5, address in 6..9
//  0x72     WriteData72           out length (sent cleared)    -
//  0x73     WriteData73           out length (sent cleared)    -
//  0x74     SendCommand74         none                         -
//  0x75     SendCommand75         none                         -
//  0x77     SendCommand77         none                         index in 4
//  0x78     ReadData78            in length, cleared           index in 4
//  0x79     ReadData79            in length, cleared           index in 4
//  0x79     WriteData79           out 1024                     5 = 0x01
//  0x7A     ReadFlashConfig       in 4                         -
//  0x7B     SendCommand7B         none                         kind in 5 (0..3 only)
//  0x81     ReadBulkArea          in 16384, first 512 cleared  -
//  0x82     WriteBulkArea         out 16384                    -
//  0x8B     ReadData8B            in length, not cleared       index in 4
//  0x8C     ReadData8C            in length, not cleared       index in 4
//  0x91     WriteParameterBlock   out 512                      -
//  0x92     ReadParameterBlock    in 512, cleared              -
//  0x93     SubmitPassword        out 16, status asked         area in 5, 6 = 0x00 wait / 0x88
//  0x95     ReadIdentityString    in 14, cleared               -
//  0x96     ChangePassword        out 512, status asked        area in 5
//  0x97     SendCommand97         none                         -
//  0x98     QueryState98          none, status asked           -
//  0x99     RefreshMedium         out 2 (0xFF 0xFF)            -
//  0x9A     ReadCapacityMb        in 2                         -
//  0x9B     WriteInfoBlock        out 512                      -
//  0x9C     ReadInfoBlock         in 512, cleared              -
//  0x9E     SendCommand9E         none                         index in 5
//  0x9F     SendCommand9F         none                         -
//  0xA1     WritePage             out 64                       page in 8..9
//  0xA2     ReadPage              in 64, cleared               page in 8..9
//  0xA3     WriteBlockA3          out 512                      -
//  0xA4     ReadBlockA4           in 512, cleared              -
//  0xB0     ProbeArea             none, status asked           area in 5
//  0xB1     ReadHint              in 129                       area in 5
//  0xB2     WriteHint             out 129                      area in 5
//  0xB3     SetPasswordAndHint    out 145                      area in 5
//  0xB4     SetAreaSizeMb         out 4 (sectors, big-endian)  -
//  0xB5     GetAreaSizeMb         in 4                         -
//  0xB6     SwitchMedium          none                         7 = 1 when the flag is set
//  0xFF     ReadDataFF            in length, not cleared       index in 4
#pragma once

#include <cstddef>
#include <cstdint>

namespace subcode {
inline constexpr std::uint8_t kProbeBlock = 0x71;
inline constexpr std::uint8_t kWriteData72 = 0x72;
inline constexpr std::uint8_t kWriteData73 = 0x73;
inline constexpr std::uint8_t kCommand74 = 0x74;
inline constexpr std::uint8_t kCommand75 = 0x75;
inline constexpr std::uint8_t kCommand77 = 0x77;
inline constexpr std::uint8_t kData78 = 0x78;
inline constexpr std::uint8_t kData79 = 0x79;
inline constexpr std::uint8_t kReadFlashConfig = 0x7A;
inline constexpr std::uint8_t kCommand7B = 0x7B;
inline constexpr std::uint8_t kReadBulkArea = 0x81;
inline constexpr std::uint8_t kWriteBulkArea = 0x82;
inline constexpr std::uint8_t kReadData8B = 0x8B;
inline constexpr std::uint8_t kReadData8C = 0x8C;
inline constexpr std::uint8_t kWriteParameterBlock = 0x91;
inline constexpr std::uint8_t kReadParameterBlock = 0x92;
inline constexpr std::uint8_t kSubmitPassword = 0x93;
inline constexpr std::uint8_t kReadIdentityString = 0x95;
inline constexpr std::uint8_t kChangePassword = 0x96;
inline constexpr std::uint8_t kCommand97 = 0x97;
inline constexpr std::uint8_t kQueryState98 = 0x98;
inline constexpr std::uint8_t kRefreshMedium = 0x99;
inline constexpr std::uint8_t kReadCapacityMb = 0x9A;
inline constexpr std::uint8_t kWriteInfoBlock = 0x9B;
inline constexpr std::uint8_t kReadInfoBlock = 0x9C;
inline constexpr std::uint8_t kCommand9E = 0x9E;
inline constexpr std::uint8_t kCommand9F = 0x9F;
inline constexpr std::uint8_t kWritePage = 0xA1;
inline constexpr std::uint8_t kReadPage = 0xA2;
inline constexpr std::uint8_t kWriteBlockA3 = 0xA3;
inline constexpr std::uint8_t kReadBlockA4 = 0xA4;
inline constexpr std::uint8_t kProbeArea = 0xB0;
inline constexpr std::uint8_t kReadHint = 0xB1;
inline constexpr std::uint8_t kWriteHint = 0xB2;
inline constexpr std::uint8_t kSetPasswordAndHint = 0xB3;
inline constexpr std::uint8_t kSetAreaSize = 0xB4;
inline constexpr std::uint8_t kGetAreaSize = 0xB5;
inline constexpr std::uint8_t kSwitchMedium = 0xB6;
inline constexpr std::uint8_t kReadDataFF = 0xFF;
}  // namespace subcode

// Payload records: raw text bytes, unused bytes zero, an explicit length byte after the field.
namespace payload {
inline constexpr std::size_t kPasswordText = 15;
inline constexpr std::size_t kPasswordRecord = 16;  // length at 15
inline constexpr std::size_t kHintText = 128;
inline constexpr std::size_t kHintRecord = 129;  // length at 128
inline constexpr std::size_t kPasswordChange = 512;
inline constexpr std::size_t kChangeCurrent = 0;
inline constexpr std::size_t kChangeNew = 16;
inline constexpr std::size_t kChangeHint = 32;
inline constexpr std::size_t kChangeHintLength = 160;
inline constexpr std::size_t kPasswordAndHint = 145;
inline constexpr std::size_t kPasswordAndHintHint = 16;
inline constexpr std::size_t kPasswordAndHintHintLength = 144;
inline constexpr std::size_t kParameterBlock = 512;
inline constexpr std::size_t kParameterHint = 21;
inline constexpr std::size_t kParameterHintLength = 149;
inline constexpr std::size_t kPage = 64;
inline constexpr std::size_t kBulkArea = 16384;
inline constexpr std::size_t kBlock = 512;
inline constexpr std::size_t kData79Out = 1024;
}  // namespace payload

// Blocks per WRITE(10): 16384 bytes, also the most the helper driver carries at once.
inline constexpr std::uint32_t kBlocksPerWrite = 32;
inline constexpr std::uint32_t kBlockSize = 512;
