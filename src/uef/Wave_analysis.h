#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "sound/Sound_device_base.h"

namespace UEFFormat_ns {

// Chunk identifiers of the UEF format that the program writes.
enum ChunkId : uint16_t {
  kOriginChunk = 0x0000,
  kImplicitDataChunk = 0x0100,
  kCarrierToneChunk = 0x0110,
  kCarrierWithDummyByteChunk = 0x0111,
  kBaseFrequencyChunk = 0x0113,
  kFloatGapChunk = 0x0116,
};

// The tape image, built in memory while the recording is decoded and written to the drive at
// the end. Layout: the 12-byte header ("UEF File!", 0, minor version, major version), then
// chunks of a 16-bit identifier, a 32-bit length and that many bytes, all little-endian.
class UEFFormatWriting : public SoundInput_ns::SoundOutputFileImplementation<std::ostringstream> {
 public:
  std::string DriveFileName;  // the name the image is saved under; empty once saved
  bool ImageOpen = false;     // the image can be opened once per run

  // Starts the image and writes its header. Raises "A UEF output in memory file is already
  // open" on a second call, "File writing error" when the memory stream fails.
  void OpenImage(std::string name, uint8_t minor, uint8_t major);

  // Appends one chunk. Raises "File writing error" when the memory stream fails.
  void WriteChunk(uint16_t id, uint32_t length, const uint8_t* data);

  // An origin chunk holding text and its terminating 0.
  void WriteOriginText(const std::string& text);

  // A change of base frequency to 0, written when the input ends inside a carrier tone that
  // held a dummy byte.
  void WriteBaseFrequencyPlaceholder();

  // The image's bytes so far.
  std::string ImageBytes() const { return Underlying().str(); }

  // Forgets the drive name once the image has been saved (or could not be).
  void ResetImage() { DriveFileName.clear(); }

  // Empties the image and closes it, for a new decoding pass.
  void Discard();
};

extern UEFFormatWriting TheUEFImage;

// Writes the image to the drive under its DriveFileName: gzip-compressed when compress is
// set, plain otherwise. The image is written to a new file beside it
// (Platform_ns::TemporaryNameBeside), which then takes DriveFileName's place in one step, so
// that the drive file is only ever a complete image; everything goes through
// Platform_ns::TheFileOperations. A failed write, close or rename removes the temporary file.
// Raises "Could not open output UEF file on drive", "Error writing UEF file on drive",
// "Could not close UEF file on drive" or, when the rename fails, "Could not give the UEF file
// its name on drive (" + the system's text + ")".
void SaveImage(UEFFormatWriting& writer, bool compress);

}  // namespace UEFFormat_ns
