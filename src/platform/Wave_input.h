#pragma once

#include <cstdint>

namespace Platform_ns {

// The recording formats of a wave-input device that the program can use, as bits of the set
// DeviceFormats reports: 8-bit mono PCM at 22050 or at 44100 samples per second.
constexpr uint32_t kWaveFormatMono8Bit22050 = 0x10;
constexpr uint32_t kWaveFormatMono8Bit44100 = 0x100;

// Memory that the wave input fills with recorded samples, one unsigned byte each (silence at
// 128). The caller owns the memory and keeps it in place while the buffer is queued.
struct WaveBuffer {
  uint8_t* data = nullptr;
  uint32_t length = 0;
};

enum class WaveWait {
  kFull,    // the buffer is full and back in the caller's hands
  kNotYet,  // the time given ran out first; the buffer stays queued
  kFailed,  // the device failed, or has delivered nothing for several seconds
};

// The sound card's wave input: the capture devices there are, and the one being recorded.
// Queued buffers are filled in the order they were queued, each completely before the next,
// and the recording runs on between calls, so nothing is lost while the caller works through
// a full buffer as long as another one is queued. Every operation returns false on failure.
class WaveInput {
 public:
  virtual ~WaveInput() = default;

  // Looks for capture devices afresh and returns how many there are; they are numbered from 0.
  virtual uint32_t DeviceCount() = 0;
  // Sets formats to the set of kWaveFormat bits that device can record. False when its
  // capabilities cannot be read.
  virtual bool DeviceFormats(uint32_t device, uint32_t& formats) = 0;

  // Opens device to record 8-bit unsigned mono PCM at sampleRate samples per second.
  virtual bool Open(uint32_t device, uint32_t sampleRate) = 0;
  // Starts recording.
  virtual bool Start() = 0;
  // Hands buffer over to be filled after the buffers queued before it.
  virtual bool Queue(const WaveBuffer& buffer) = 0;
  // Waits, for at most timeoutMilliseconds, until buffer is full. Waits by blocking or by
  // sleeping, never by spinning. A buffer that is not queued counts as full.
  virtual WaveWait WaitUntilFull(const WaveBuffer& buffer, uint32_t timeoutMilliseconds) = 0;
  // True, once, when samples were lost (the device overran) since the last call.
  virtual bool TakeOverrun() = 0;
  // Stops recording; buffers still queued are given back as they are.
  virtual bool Stop() = 0;
  // Closes the device.
  virtual bool Close() = 0;
};

// The system's own wave input.
WaveInput& SystemWaveInput();

inline WaveInput*& InstalledWaveInput() {
  static WaveInput* installed = nullptr;
  return installed;
}

// The wave input the program records through: the system's, unless tests put another in its
// place with UseWaveInput (nullptr gives the system's back).
inline WaveInput& CurrentWaveInput() {
  WaveInput* installed = InstalledWaveInput();
  return installed != nullptr ? *installed : SystemWaveInput();
}
inline void UseWaveInput(WaveInput* input) {
  InstalledWaveInput() = input;
}

}  // namespace Platform_ns
