// varnstow-tool list, run in-process on images made byte by byte.
#include <gtest/gtest.h>

#include <sstream>

#include "tool/Commands.h"
#include "tool/Uef_images.h"

namespace {

using namespace ToolTest;
using TapeBuilder_ns::BlockSpec;

// Lists image (given on standard input); error receives the failure's message, if any.
std::string List(const std::string& image, std::string* error = nullptr) {
  std::istringstream in(image);
  std::ostringstream out;
  std::ostringstream err;
  Tool_ns::ToolStreams io{in, out, err};
  try {
    EXPECT_EQ(Tool_ns::ListCommand({"-"}, io), 0);
  } catch (const Tool_ns::ToolError& failure) {
    if (error == nullptr)
      ADD_FAILURE() << failure.what();
    else
      *error = failure.what();
  }
  return out.str();
}

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(List, ShowsEveryChunkWithItsOffsetNameLengthAndContents) {
  const BlockSpec hello{"HELLO", 0xFFFF1900, 0xFFFF8023, 0, 0x80, {1, 2, 3}};
  const std::string image = Image(
      {Chunk(0x0000, std::string("Made by\x01hand") + '\0'), Chunk(0x0111, Le16(10) + Le16(20)),
       BlockChunk(hello), Chunk(0x0110, Le16(12000)), Chunk(0x0116, Float(2.5f)),
       Chunk(0x0113, Float(0.0f)), Chunk(0x0117, Le16(300)), Chunk(0x0114, Le24(9) + "PW\xFF\x80"),
       Chunk(0x0104,
             "\x07"
             "E\x01"
             "ab"),
       Chunk(0x0102, std::string("\0z", 2)), Chunk(0x0100, "\xAA")});
  const std::string listing = List(image);
  for (const char* line :
       {"standard input: UEF 0.10, 153 bytes\n",
        "0x00000C  0x0000  origin                      13  \"Made by?hand\"\n",
        "0x00001F  0x0111  carrier, dummy byte          4  10 cycles, dummy byte, 20 cycles\n",
        "0x000029  0x0100  data, 8N1                   31  block HELLO 00, flags 80 (last), 3 "
        "bytes, checksums ok\n",
        "0x00004E  0x0110  carrier tone                 2  12000 cycles\n",
        "  gap, floating point          4  2.5 s\n",
        "  base frequency               4  0 (no change)\n",
        "  baud rate                    2  300 baud\n",
        "  security cycles              7  9 cycles\n",
        "  data, defined format         5  7 data bits, parity E, 1 stop bit, 2 bytes\n",
        "  explicit data bits           2  8 bits\n",
        "  data, 8N1                    1  no block\n", "11 chunks, 1 block in 1 file\n",
        "HELLO       FFFF1900  FFFF8023       1        3  complete\n"}) {
    EXPECT_TRUE(Holds(listing, line)) << line << "\nnot in\n" << listing;
  }
}

TEST(List, ChecksumsMissingBlocksAndCutBlocksShowPerBlockAndPerFile) {
  std::vector<BlockSpec> data =
      TapeBuilder_ns::FileBlocks("DATA", 0x3000, 0x3000, std::vector<uint8_t>(700, 7));
  std::string badData = Bytes(TapeBuilder_ns::BlockBytes(data[2]));
  badData[40] = static_cast<char>(badData[40] ^ 1);
  std::string badHeader = Bytes(TapeBuilder_ns::BlockBytes({"NEXT", 0, 0, 0, 0, {9}}));
  badHeader[8] = static_cast<char>(badHeader[8] ^ 1);
  const std::string whole = Bytes(TapeBuilder_ns::BlockBytes({"CUT", 0, 0, 0, 0x80, {1, 2, 3}}));
  const std::string listing =
      List(Image({BlockChunk(data[0]), Chunk(0x0100, badData), Chunk(0x0100, badHeader),
                  Chunk(0x0100, whole.substr(0, 26)), Chunk(0x0100, whole.substr(0, 12))}));
  for (const char* part :
       {"block DATA 02, flags 80 (last), 188 bytes, data checksum bad\n",
        "block NEXT 00, flags 00, 1 byte, header checksum bad\n",
        "block CUT 00, flags 80 (last), 3 bytes, cut short in its data\n",
        "block CUT, cut short in its header\n", "5 chunks, 4 blocks in 3 files\n",
        "DATA        00003000  00003000       2      444  missing 01; 1 bad block\n",
        "NEXT        00010000  00000000       1        1  no last block; 1 bad block\n",
        "CUT         00000000  00000000       1        3  1 bad block\n"}) {
    EXPECT_TRUE(Holds(listing, part)) << part << "\nnot in\n" << listing;
  }
}

TEST(List, DamagedImagesAreListedUpToTheDamageWhichIsReported) {
  const std::string image =
      Image({Chunk(0x0110, Le16(5)), Chunk(0x0110, Le16(6)), Chunk(0x0100, std::string(200, 'x'))});
  std::string error;
  std::string listing = List(image.substr(0, image.size() - 50), &error);
  EXPECT_TRUE(Holds(listing, "0x000014  0x0110  carrier tone                 2  6 cycles\n"))
      << listing;
  EXPECT_TRUE(Holds(listing, "2 chunks, 0 blocks in 0 files")) << listing;
  EXPECT_EQ(error,
            "the image is damaged: chunk 0x0100 at offset 0x00001C declares 200 bytes, but only "
            "150 follow");

  std::string noise;
  for (int i = 0; i < 3000; ++i)
    noise += static_cast<char>((i * 7919 + i / 13) & 0xFF);
  const std::string packed = Gzip(Image({Chunk(0x0110, Le16(5)), Chunk(0x0000, noise)}));
  error.clear();
  listing = List(packed.substr(0, packed.size() / 2), &error);
  EXPECT_TRUE(Holds(listing, "gzip-compressed")) << listing;
  EXPECT_TRUE(Holds(error, "the gzip stream ends early")) << error;

  error.clear();
  List("just some text, not an image", &error);
  EXPECT_EQ(error, "standard input is not a UEF tape image (it does not start with \"UEF File!\")");
}

}  // namespace
