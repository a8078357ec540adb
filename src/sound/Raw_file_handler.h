#pragma once

#include <stdexcept>
#include <string>

#include "sound/Sound_device_base.h"
#include "uef/Gzstream.h"

namespace SoundInput_ns {

// A headerless file of 8-bit mono samples. Its sample rate (default 44100) and its data type
// (signed by default, or unsigned) come from the command line, as the file cannot say.
// Also writes such a file, for the DC offset correction.
class RAWSound final : public SoundBase {
 public:
  SourceKind Kind() const override { return SourceKind::kRaw; }
  RAWSound();
  ~RAWSound() override;

  void SetSampleRate(uint32_t rate) { SampleRate = rate; }
  void SetSignedSamples(bool signedSamples) { signedSamples_ = signedSamples; }
  bool SignedSamples() const { return signedSamples_; }
  // The file's length in bytes (every byte a sample), in full: TotalLength keeps only its low
  // 32 bits.
  std::streamoff FileLength() const { return fileLength_; }

  void ResetCounters() override;
  void Open(std::string name) override;
  bool Close() override;
  void Rewind() override;

  bool AtEnd() override {
    if (input_.Eof()) {
      Ended = true;
    }
    return Ended;
  }

  int8_t NextSample() override {
    const auto c = input_.ReadByte();
    if (c == SoundInputFileImplementation::EndOfFile()) {
      if (input_.Bad()) {
        throw std::runtime_error("RAW file reading error");
      }
      Ended = true;
      return 0;
    }
    ++Position;
    return TypeConversion_ns::Conversions2sComplement::ToSample(static_cast<uint8_t>(c),
                                                                signedSamples_);
  }

  // The samples, for reading many in a row (see FileSampleCursor).
  FileSampleCursor Samples() {
    return FileSampleCursor(*this, input_, signedSamples_, "RAW file reading error");
  }

  bool AtDataEnd() override;
  // Creates the file name for writing; refuses a name already taken, so that nothing is ever
  // written over. Writes through Platform_ns::TheFileOperations.
  void OpenOutput(std::string name) override;
  void WriteSample(int8_t sample) override {
    output_.CheckedWriteByte(
        TypeConversion_ns::Conversions2sComplement::FromSample(sample, signedSamples_));
  }
  void WriteSamples(const int8_t* samples, size_t count) override {
    output_.CheckedWriteSamples(samples, count, signedSamples_);
  }

 private:
  SoundInputFileImplementation input_;
  SoundOutputFileImplementation<GZStream_ns::DriveFileStream> output_;
  std::streamoff fileLength_ = 0;
  bool signedSamples_ = true;
};

extern RAWSound TheRAWSound;

}  // namespace SoundInput_ns
