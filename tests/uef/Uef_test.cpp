// The in-memory tape image and writing it to the drive, compressed or plain.
#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>

#include "support/Decoding.h"
#include "support/Process.h"
#include "support/Temp_folder.h"
#include "uef/Wave_analysis.h"

namespace {

using TestSupport::FileExists;
using TestSupport::ReadFile;
using TestSupport::TempFolder;
using UEFFormat_ns::UEFFormatWriting;

TEST(UefImage, HeaderAndChunkFraming) {
  UEFFormatWriting image;
  image.OpenImage("x.uef", 10, 0);
  EXPECT_EQ(image.ImageBytes(), std::string("UEF File!\0\x0A\x00", 12));
  EXPECT_THROW(image.OpenImage("y.uef", 10, 0), std::runtime_error);
  EXPECT_EQ(image.DriveFileName, "x.uef");

  image.WriteChunk(0x0110, 0, nullptr);
  EXPECT_EQ(image.ImageBytes().size(), 12u + 6);
  EXPECT_EQ(image.ImageBytes().substr(12), std::string("\x10\x01\x00\x00\x00\x00", 6));

  std::vector<uint8_t> block(256);
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i);
  image.WriteChunk(0x0100, 256, block.data());
  const std::string bytes = image.ImageBytes();
  EXPECT_EQ(bytes.substr(18, 6), std::string("\x00\x01\x00\x01\x00\x00", 6));
  EXPECT_EQ(bytes.substr(24), std::string(block.begin(), block.end()));
}

TEST(UefImage, SecondOpenRaisesItsMessage) {
  UEFFormatWriting image;
  image.OpenImage("x.uef", 10, 0);
  try {
    image.OpenImage("x.uef", 10, 0);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "A UEF output in memory file is already open");
  }
}

class SaveImage : public ::testing::Test {
 protected:
  void SetUp() override {
    image_.OpenImage(folder_ / "out.uef", 10, 0);
    const std::string text = "Varnstow Corvel V1.7.";
    image_.WriteChunk(0x0000, static_cast<uint32_t>(text.size() + 1),
                      reinterpret_cast<const uint8_t*>(text.c_str()));
    expected_ = image_.ImageBytes();
  }
  TempFolder folder_;
  UEFFormatWriting image_;
  std::string expected_;
};

TEST_F(SaveImage, PlainIsTheImageByteForByte) {
  UEFFormat_ns::SaveImage(image_, false);
  EXPECT_EQ(ReadFile(folder_ / "out.uef"), expected_);
  EXPECT_TRUE(image_.DriveFileName.empty());
  EXPECT_EQ(image_.ImageBytes(), expected_);  // the image in memory stays as it was
}

TEST_F(SaveImage, CompressedIsGzipOfTheImage) {
  UEFFormat_ns::SaveImage(image_, true);
  const std::string stored = ReadFile(folder_ / "out.uef");
  ASSERT_GE(stored.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(stored[0]), 0x1F);
  EXPECT_EQ(static_cast<uint8_t>(stored[1]), 0x8B);
  EXPECT_EQ(TestSupport::GunzipFile(folder_ / "out.uef"), expected_);
}

TEST_F(SaveImage, LargeCompressedImageRoundTrips) {
  std::vector<uint8_t> bytes(300000);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>(i * i >> 3);
  image_.WriteChunk(0x0100, static_cast<uint32_t>(bytes.size()), bytes.data());
  expected_ = image_.ImageBytes();
  UEFFormat_ns::SaveImage(image_, true);
  EXPECT_EQ(TestSupport::GunzipFile(folder_ / "out.uef"), expected_);
}

TEST_F(SaveImage, MissingFolderCannotBeOpened) {
  for (const bool compress : {false, true}) {
    UEFFormatWriting image;
    image.OpenImage(folder_ / "no/such/folder.uef", 10, 0);
    try {
      UEFFormat_ns::SaveImage(image, compress);
      FAIL();
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Could not open output UEF file on drive");
    }
    EXPECT_TRUE(image.DriveFileName.empty());
    EXPECT_FALSE(FileExists(folder_ / "no"));
  }
}

}  // namespace
