#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "sound/Sound_device_base.h"
#include "uef/Gzstream.h"

namespace SoundInput_ns {

// A refusal of a WAV file's sample form (stereo, 16 or 24 bits, floating point and the like)
// that varnstow-tool prepare can turn into the 8-bit mono the converter reads. Carries the
// converter's own message.
class UnsupportedSampleForm : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A RIFF WAVE file of 8-bit mono PCM samples (unsigned, centre 128). Open walks the chunks,
// takes the sample rate from the "fmt " chunk and the samples from the "data" chunk, and refuses
// everything it cannot decode with a message naming the reason. Reading goes on to the physical
// end of the file, so the bytes of any chunk after the data chunk are delivered as samples too.
// Also writes such a file, for the DC offset correction.
class WAVSound final : public SoundBase {
 public:
  SourceKind Kind() const override { return SourceKind::kWav; }
  WAVSound() = default;
  ~WAVSound() override;

  void ResetCounters() override;
  void Open(std::string name) override;
  bool Close() override;
  void Rewind() override;
  int64_t ProgressPercent() override;

  int8_t NextSample() override {
    const auto c = input_.ReadByte();
    if (c == SoundInputFileImplementation::EndOfFile()) {
      if (input_.Bad()) {
        RaiseReadingError();
      }
      Ended = true;
      return 0;
    }
    ++Position;
    return TypeConversion_ns::Conversions2sComplement::FromUnsigned(static_cast<uint8_t>(c));
  }

  // The samples, for reading many in a row (see FileSampleCursor): the same as NextSample
  // gives, to the physical end of the file.
  FileSampleCursor Samples() {
    return FileSampleCursor(*this, input_, false, "WAV file reading error");
  }

  bool AtDataEnd() override;
  // Creates the file name for writing; refuses a name already taken, so that nothing is ever
  // written over. Writes through Platform_ns::TheFileOperations.
  void OpenOutput(std::string name) override;
  // Writes a complete 44-byte header of an 8-bit mono PCM file.
  void WriteHeader(uint32_t sampleRate, uint32_t dataLength) override;
  // Copies the input's header, everything up to the first sample, to the output as it is.
  // Leaves the input at its first sample. Raises "Cannot fix DC offsets in a WAV file whose
  // format chunk follows its data" when the format chunk in effect follows the samples.
  void CopyHeader() override;
  // Copies everything after the data chunk's samples (its pad byte and any later chunks) to
  // the output as it is, once the samples have been written.
  void CopyTrailer();
  void WriteSample(int8_t sample) override {
    output_.CheckedWriteByte(TypeConversion_ns::Conversions2sComplement::ToUnsigned(sample));
  }
  void WriteSamples(const int8_t* samples, size_t count) override {
    output_.CheckedWriteSamples(samples, count, false);
  }
  void WriteShapedSample(double value, double phase, bool rising) override;

  // File offsets of the first sample and of the end of the data chunk (0 while no file is open).
  std::streamoff DataStart() const { return dataStart_; }
  std::streamoff DataEnd() const { return dataEnd_; }

 private:
  [[noreturn]] static void RaiseReadingError();
  uint8_t ReadHeaderByte();
  uint16_t ReadHeader16();
  uint32_t ReadHeader32();
  void ReadFormatChunk();
  void CopyBytes(std::streamoff count);
  void CheckOutput();

  SoundInputFileImplementation input_;
  SoundOutputFileImplementation<GZStream_ns::DriveFileStream> output_;
  std::streamoff dataStart_ = 0;
  std::streamoff dataEnd_ = 0;
  std::streamoff fileLength_ = 0;
  std::streamoff formatStart_ = 0;  // where the format chunk in effect (the last one) starts
  bool stereo_ = false;
  bool sixteenBit_ = false;
  bool formatFound_ = false;
};

extern WAVSound TheWAVSound;

}  // namespace SoundInput_ns
