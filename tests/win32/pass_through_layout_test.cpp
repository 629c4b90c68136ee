// The conversion between the core's 80-byte image and the platform's SCSI_PASS_THROUGH_DIRECT,
// apart from DeviceIoControl. The native layout is read back through the platform's own
// structure; the 32-bit one must give back the image itself with the pointer filled in.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "host/byte_order.h"
#include "host/pass_through_request.h"
#include "host/win32/pass_through_layout.h"
#include "host/win32/windows_api.h"

namespace pt = pass_through;
using win32host::kLayout32;
using win32host::kLayout64;
using win32host::kNativeLayout;

namespace {

// A request as the transport fills it for a data-in command, with every byte of the sense room
// and the command marked so that a misplaced copy shows.
host::PassThroughRequest ReadRequest(void* buffer) {
  host::PassThroughRequest request;
  std::uint8_t* image = request.image.data();
  PutLittleEndian16(image + pt::kLength, pt::kStructSize);
  image[pt::kScsiStatus] = 0;
  image[pt::kPathId] = 0;
  image[pt::kTargetId] = 1;
  image[pt::kLun] = 0;
  image[pt::kCdbLength] = 10;
  image[pt::kSenseInfoLength] = 24;
  image[pt::kDataIn] = 1;
  PutLittleEndian32(image + pt::kDataTransferLength, 512);
  PutLittleEndian32(image + pt::kTimeOutValue, 60);
  PutLittleEndian32(image + pt::kSenseInfoOffset, pt::kSense);
  for (std::size_t i = 0; i < 16; ++i) image[pt::kCdb + i] = static_cast<std::uint8_t>(0xA0 + i);
  for (std::size_t i = 0; i < 32; ++i) image[pt::kSense + i] = static_cast<std::uint8_t>(0x40 + i);
  request.dataBuffer = buffer;
  return request;
}

TEST(PassThroughLayout, NativeRequestReadsBackThroughThePlatformStructure) {
  std::uint8_t data[512];
  host::PassThroughRequest request = ReadRequest(data);
  const win32host::NativePassThrough native = win32host::ToNative(kNativeLayout, request);
  const auto& sptd = *reinterpret_cast<const SCSI_PASS_THROUGH_DIRECT*>(native.bytes.data());

  EXPECT_EQ(sptd.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
  EXPECT_EQ(sptd.ScsiStatus, 0);
  EXPECT_EQ(sptd.PathId, 0);
  EXPECT_EQ(sptd.TargetId, 1);
  EXPECT_EQ(sptd.Lun, 0);
  EXPECT_EQ(sptd.CdbLength, 10);
  EXPECT_EQ(sptd.SenseInfoLength, 24);
  EXPECT_EQ(sptd.DataIn, SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(sptd.DataTransferLength, 512u);
  EXPECT_EQ(sptd.TimeOutValue, 60u);
  EXPECT_EQ(sptd.DataBuffer, static_cast<void*>(data));
  EXPECT_EQ(0, std::memcmp(sptd.Cdb, request.image.data() + pt::kCdb, 16));
  // The sense room directly after the structure, where SenseInfoOffset points.
  EXPECT_GE(sptd.SenseInfoOffset, sizeof(SCSI_PASS_THROUGH_DIRECT));
  EXPECT_EQ(native.size, sptd.SenseInfoOffset + 32);
  EXPECT_EQ(0, std::memcmp(native.bytes.data() + sptd.SenseInfoOffset, request.image.data() + pt::kSense, 32));
  EXPECT_EQ(win32host::ToNativeSize(kNativeLayout, pt::kRequestSize), native.size);
}

TEST(PassThroughLayout, The32BitRequestIsTheImageWithItsPointerFilledIn) {
  host::PassThroughRequest request = ReadRequest(reinterpret_cast<void*>(std::uintptr_t{0x00C0FFEE}));
  const win32host::NativePassThrough native = win32host::ToNative(kLayout32, request);

  ASSERT_EQ(native.size, pt::kRequestSize);
  EXPECT_EQ(GetLittleEndian32(native.bytes.data() + pt::kDataBuffer), 0x00C0FFEEu);
  std::array<std::uint8_t, pt::kRequestSize> expected = request.image;
  PutLittleEndian32(expected.data() + pt::kDataBuffer, 0x00C0FFEE);
  EXPECT_EQ(0, std::memcmp(native.bytes.data(), expected.data(), pt::kRequestSize));
  EXPECT_EQ(win32host::ToNativeSize(kLayout32, pt::kRequestSize), pt::kRequestSize);
}

TEST(PassThroughLayout, The64BitRequestMovesEverythingAfterThePointer) {
  host::PassThroughRequest request = ReadRequest(reinterpret_cast<void*>(std::uintptr_t{0x12345678}));
  request.dataBuffer = nullptr;  // a command without data carries a null pointer
  const win32host::NativePassThrough native = win32host::ToNative(kLayout64, request);
  const std::uint8_t* bytes = native.bytes.data();

  EXPECT_EQ(native.size, 88u);
  EXPECT_EQ(GetLittleEndian16(bytes), 56);
  EXPECT_EQ(0, std::memcmp(bytes + 2, request.image.data() + 2, 18));  // status to timeout
  for (std::size_t i = 20; i < 32; ++i) EXPECT_EQ(bytes[i], 0) << "byte " << i;  // padding, pointer
  EXPECT_EQ(GetLittleEndian32(bytes + 32), 56u);
  EXPECT_EQ(0, std::memcmp(bytes + 36, request.image.data() + pt::kCdb, 16));
  EXPECT_EQ(0, std::memcmp(bytes + 56, request.image.data() + pt::kSense, 32));
}

// What a driver changes comes back into the image; the pointer never does.
TEST(PassThroughLayout, TheDriversAnswerReturnsToTheImageInBothLayouts) {
  for (const win32host::PassThroughLayout* layout : {&kLayout32, &kLayout64}) {
    SCOPED_TRACE(layout->structSize);
    host::PassThroughRequest request = ReadRequest(reinterpret_cast<void*>(std::uintptr_t{0x1000}));
    win32host::NativePassThrough native = win32host::ToNative(*layout, request);
    std::uint8_t* bytes = native.bytes.data();
    bytes[pt::kScsiStatus] = 0x02;                                // CHECK CONDITION
    bytes[pt::kSenseInfoLength] = 18;                             // sense bytes delivered
    PutLittleEndian32(bytes + pt::kDataTransferLength, 100);      // bytes actually moved
    for (std::size_t i = 0; i < 18; ++i) bytes[layout->sense + i] = static_cast<std::uint8_t>(0x70 + i);

    win32host::FromNative(*layout, native, request);
    const std::uint8_t* image = request.image.data();
    EXPECT_EQ(image[pt::kScsiStatus], 0x02);
    EXPECT_EQ(image[pt::kSenseInfoLength], 18);
    EXPECT_EQ(GetLittleEndian32(image + pt::kDataTransferLength), 100u);
    EXPECT_EQ(GetLittleEndian16(image + pt::kLength), pt::kStructSize);
    EXPECT_EQ(GetLittleEndian32(image + pt::kDataBuffer), 0u);
    EXPECT_EQ(GetLittleEndian32(image + pt::kSenseInfoOffset), pt::kSense);
    for (std::size_t i = 0; i < 18; ++i) EXPECT_EQ(image[pt::kSense + i], 0x70 + i) << "sense " << i;
    EXPECT_EQ(image[pt::kSense + 18], 0x40 + 18);  // untouched sense room stays
  }
}

#ifndef _WIN64
// A 32-bit program hands the image to DeviceIoControl as it stands, so its DataBuffer pointer
// must be where the platform's structure has it: at 20. Only a 32-bit build has that structure.
TEST(PassThroughLayout32, TheImageIsThePlatformsOwnStructure) {
  EXPECT_EQ(&kNativeLayout, &kLayout32);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer), 20u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer), pt::kDataBuffer);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer), kLayout32.dataBuffer);
  // The pointer as the system reads it from the request the adapter sends.
  std::uint8_t data[512];
  host::PassThroughRequest request = ReadRequest(data);
  const win32host::NativePassThrough native = win32host::ToNative(kNativeLayout, request);
  void* pointer = nullptr;
  std::memcpy(&pointer, native.bytes.data() + 20, sizeof pointer);
  EXPECT_EQ(pointer, static_cast<void*>(data));
  EXPECT_EQ(native.size, pt::kRequestSize);
}
#endif

TEST(PassThroughLayout, ByteCountsTranslateAcrossTheLayouts) {
  // The whole request, the structure with its sense data, the structure alone.
  EXPECT_EQ(win32host::ToNativeSize(kLayout64, 80), 88u);
  EXPECT_EQ(win32host::ToImageSize(kLayout64, 88), 80u);
  EXPECT_EQ(win32host::ToImageSize(kLayout64, 56 + 18), 48u + 18);
  EXPECT_EQ(win32host::ToImageSize(kLayout64, 56), 48u);
  EXPECT_EQ(win32host::ToNativeSize(kLayout64, 44), 56u);
  for (std::uint32_t size : {0u, 44u, 48u, 66u, 80u}) {
    EXPECT_EQ(win32host::ToNativeSize(kLayout32, size), size);
    EXPECT_EQ(win32host::ToImageSize(kLayout32, size), size);
  }
}

}  // namespace
