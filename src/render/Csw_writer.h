#pragma once

// Writing rendered samples as a CSW recording, as they come: samples become pulses (runs of one
// sign), and pulses are written run-length encoded, compressed with zlib for Z-RLE.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "render/Tape_builder.h"

namespace TapeBuilder_ns {

// Receives pulse lengths in samples; levels alternate from pulse to pulse.
class PulseSink {
 public:
  virtual ~PulseSink() = default;
  virtual void Pulse(uint32_t length) = 0;
};

// Turns samples into pulses the way a CSW file is made from a recording: each run of samples of
// one sign is one pulse, and a sample of 0 continues the run before it. Samples of 0 at the very
// start form a pulse of their own at the level opposite the first signal; samples that are all
// 0 form one low pulse. A square render at phase 0 thus gives RenderPulses' pulses.
class SignRunPulses final : public SampleSink {
 public:
  explicit SignRunPulses(PulseSink& pulses) : pulses_(pulses) {}

  // Throws std::invalid_argument when a pulse grows longer than 2^32-1 samples.
  void Put(const int8_t* samples, size_t count) override;
  // Hands on the last pulse.
  void Finish();

  // The level of the first pulse (known once a non-zero sample, or Finish, has come).
  bool InitialHigh() const { return initialHigh_; }
  uint64_t PulseCount() const { return pulseCount_; }

 private:
  void Emit();

  PulseSink& pulses_;
  int level_ = 0;  // sign of the current run; 0 before any non-zero sample
  bool initialHigh_ = false;
  uint64_t run_ = 0;  // samples in the current run
  uint64_t pulseCount_ = 0;
};

// A CSW 2.0 file written to a stream a pulse at a time. The header, written first, states the
// pulse count, so it must be known beforehand.
class CswStreamWriter final : public PulseSink {
 public:
  // Throws std::runtime_error when zlib cannot start.
  CswStreamWriter(std::ostream& out, uint32_t sampleRate, uint32_t pulseCount,
                  CswCompression compression, bool initialPolarityHigh, const char* application);
  ~CswStreamWriter() override;
  CswStreamWriter(const CswStreamWriter&) = delete;
  CswStreamWriter& operator=(const CswStreamWriter&) = delete;

  void Pulse(uint32_t length) override;
  // Writes what is left. Throws std::runtime_error when the pulses written are not the count
  // stated, and when the stream fails.
  void Finish();

 private:
  void Drain(bool finish);
  void Check() const;

  class Deflater;
  std::ostream& out_;
  const uint32_t declared_;
  uint64_t written_ = 0;
  std::vector<uint8_t> pending_;  // run-length bytes not yet handed on
  std::unique_ptr<Deflater> deflater_;
};

}  // namespace TapeBuilder_ns
