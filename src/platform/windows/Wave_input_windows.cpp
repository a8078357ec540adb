// The wave input on Windows: the multimedia wave-input devices (waveIn), used without a
// callback. The driver fills queued buffers in the background and sets each header's done
// flag when its buffer is full; the program looks at that flag.
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <array>
#include <chrono>

#include "platform/Wave_input.h"

namespace Platform_ns {
namespace {

using Clock = std::chrono::steady_clock;

// A device that fills no buffer for this long has failed.
constexpr auto kStallLimit = std::chrono::seconds(5);
// How long one look at a header's done flag is followed by a sleep.
constexpr DWORD kPollMilliseconds = 1;
// Buffers that can be in the driver's hands at once.
constexpr size_t kQueueCapacity = 4;

static_assert(kWaveFormatMono8Bit22050 == WAVE_FORMAT_2M08, "the format bits are waveIn's own");
static_assert(kWaveFormatMono8Bit44100 == WAVE_FORMAT_4M08, "the format bits are waveIn's own");

class WindowsWaveInput final : public WaveInput {
 public:
  uint32_t DeviceCount() override { return waveInGetNumDevs(); }

  bool DeviceFormats(uint32_t device, uint32_t& formats) override {
    WAVEINCAPSA capabilities{};
    if (waveInGetDevCapsA(device, &capabilities, sizeof capabilities) != MMSYSERR_NOERROR) {
      return false;
    }
    formats = capabilities.dwFormats & (kWaveFormatMono8Bit22050 | kWaveFormatMono8Bit44100);
    return true;
  }

  bool Open(uint32_t device, uint32_t sampleRate) override {
    if (device_ != nullptr) {
      return false;
    }
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = sampleRate;
    format.nAvgBytesPerSec = sampleRate;
    format.nBlockAlign = 1;
    format.wBitsPerSample = 8;
    format.cbSize = 0;
    HWAVEIN opened = nullptr;
    if (waveInOpen(&opened, device, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
      return false;
    }
    device_ = opened;
    for (Slot& slot : slots_) {
      slot = Slot{};
    }
    return true;
  }

  bool Start() override {
    lastDelivery_ = Clock::now();
    return device_ != nullptr && waveInStart(device_) == MMSYSERR_NOERROR;
  }

  bool Queue(const WaveBuffer& buffer) override {
    if (device_ == nullptr || buffer.data == nullptr || buffer.length == 0 ||
        SlotOf(buffer) != nullptr) {
      return false;
    }
    Slot* free = nullptr;
    for (Slot& slot : slots_) {
      if (!slot.inUse) {
        free = &slot;
        break;
      }
    }
    if (free == nullptr) {
      return false;
    }
    *free = Slot{};
    free->header.lpData = reinterpret_cast<LPSTR>(buffer.data);
    free->header.dwBufferLength = buffer.length;
    if (waveInPrepareHeader(device_, &free->header, sizeof free->header) != MMSYSERR_NOERROR) {
      return false;
    }
    if (waveInAddBuffer(device_, &free->header, sizeof free->header) != MMSYSERR_NOERROR) {
      waveInUnprepareHeader(device_, &free->header, sizeof free->header);
      return false;
    }
    free->inUse = true;
    return true;
  }

  WaveWait WaitUntilFull(const WaveBuffer& buffer, uint32_t timeoutMilliseconds) override {
    Slot* const slot = SlotOf(buffer);
    if (slot == nullptr) {
      return WaveWait::kFull;  // not queued
    }
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    // The driver sets the flag from another thread: read it afresh every time.
    while ((*static_cast<volatile DWORD*>(&slot->header.dwFlags) & WHDR_DONE) == 0) {
      const Clock::time_point now = Clock::now();
      if (now - lastDelivery_ > kStallLimit) {
        return WaveWait::kFailed;
      }
      if (now >= deadline) {
        return WaveWait::kNotYet;
      }
      Sleep(kPollMilliseconds);
    }
    lastDelivery_ = Clock::now();
    const bool released =
        waveInUnprepareHeader(device_, &slot->header, sizeof slot->header) == MMSYSERR_NOERROR;
    slot->inUse = false;
    return released ? WaveWait::kFull : WaveWait::kFailed;
  }

  bool TakeOverrun() override {
    // waveIn does not tell when it had no buffer to record into.
    return false;
  }

  bool Stop() override {
    if (device_ == nullptr || waveInStop(device_) != MMSYSERR_NOERROR) {
      return false;
    }
    // Stopping gives back the buffer being filled. Buffers still waiting behind it (only when
    // recording is given up early) come back through a reset, so that the device can close.
    bool waiting = false;
    for (const Slot& slot : slots_) {
      waiting = waiting || (slot.inUse && (slot.header.dwFlags & WHDR_DONE) == 0);
    }
    if (waiting && waveInReset(device_) != MMSYSERR_NOERROR) {
      return false;
    }
    bool released = true;
    for (Slot& slot : slots_) {
      if (slot.inUse) {
        released =
            waveInUnprepareHeader(device_, &slot.header, sizeof slot.header) == MMSYSERR_NOERROR &&
            released;
        slot.inUse = false;
      }
    }
    return released;
  }

  bool Close() override {
    if (device_ == nullptr) {
      return false;
    }
    const bool closed = waveInClose(device_) == MMSYSERR_NOERROR;
    if (closed) {
      device_ = nullptr;
      for (Slot& slot : slots_) {
        slot = Slot{};
      }
    }
    return closed;
  }

 private:
  struct Slot {
    WAVEHDR header{};
    bool inUse = false;
  };

  Slot* SlotOf(const WaveBuffer& buffer) {
    for (Slot& slot : slots_) {
      if (slot.inUse && slot.header.lpData == reinterpret_cast<LPSTR>(buffer.data)) {
        return &slot;
      }
    }
    return nullptr;
  }

  HWAVEIN device_ = nullptr;
  // The headers stay at fixed places while the driver holds them.
  std::array<Slot, kQueueCapacity> slots_{};
  Clock::time_point lastDelivery_;
};

}  // namespace

WaveInput& SystemWaveInput() {
  // Never destroyed: the sound card may still be closed while the program ends.
  static WaveInput* const input = new WindowsWaveInput;
  return *input;
}

}  // namespace Platform_ns
