// The wave input on Linux: ALSA capture devices.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/Wave_input.h"

namespace Platform_ns {
namespace {

using Clock = std::chrono::steady_clock;

// The name under which ALSA offers the system's default device.
constexpr const char* kDefaultDevice = "default";
// ALSA's null device records endless silence; it is no sound card.
constexpr const char* kNullDevice = "null";
// The ring buffer asked for: room for a second of sound while the program is busy.
constexpr unsigned int kRingMicroseconds = 1000000;
constexpr unsigned int kPeriodMicroseconds = 50000;
// A device that delivers nothing for this long has failed.
constexpr auto kStallLimit = std::chrono::seconds(5);
// The longest single wait for the device, so that the stall limit is looked at.
constexpr int kLongestWaitMilliseconds = 100;
constexpr size_t kQueueCapacity = 4;

// ALSA writes its own diagnostics to standard error; while devices are being looked at they
// would only be noise (every device that is absent reports itself).
extern "C" void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

class SilentAlsa {
 public:
  SilentAlsa() { snd_lib_error_set_handler(IgnoreAlsaMessage); }
  ~SilentAlsa() { snd_lib_error_set_handler(nullptr); }
  SilentAlsa(const SilentAlsa&) = delete;
  SilentAlsa& operator=(const SilentAlsa&) = delete;
};

struct HardwareParametersDeleter {
  void operator()(snd_pcm_hw_params_t* parameters) const { snd_pcm_hw_params_free(parameters); }
};
using HardwareParameters = std::unique_ptr<snd_pcm_hw_params_t, HardwareParametersDeleter>;

HardwareParameters NewHardwareParameters() {
  snd_pcm_hw_params_t* parameters = nullptr;
  if (snd_pcm_hw_params_malloc(&parameters) < 0) {
    return nullptr;
  }
  return HardwareParameters(parameters);
}

// Restricts parameters to 8-bit unsigned mono samples, interleaved, read by copying.
bool RestrictToMono8Bit(snd_pcm_t* pcm, snd_pcm_hw_params_t* parameters) {
  return snd_pcm_hw_params_set_access(pcm, parameters, SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
         snd_pcm_hw_params_set_format(pcm, parameters, SND_PCM_FORMAT_U8) == 0 &&
         snd_pcm_hw_params_set_channels(pcm, parameters, 1) == 0;
}

struct Device {
  std::string name;
  bool readable = false;  // whether its capabilities could be read
  uint32_t formats = 0;
};

// The names of the PCMs that can capture, in ALSA's order, with the default device last so
// that it wins a tie.
std::vector<std::string> CaptureNames() {
  std::vector<std::string> names;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) == 0) {
    for (void** hint = hints; *hint != nullptr; ++hint) {
      char* name = snd_device_name_get_hint(*hint, "NAME");
      char* direction = snd_device_name_get_hint(*hint, "IOID");
      if (name != nullptr && (direction == nullptr || std::strcmp(direction, "Input") == 0) &&
          std::strcmp(name, kDefaultDevice) != 0 && std::strcmp(name, kNullDevice) != 0) {
        names.emplace_back(name);
      }
      std::free(name);
      std::free(direction);
    }
    snd_device_name_free_hint(hints);
  }
  names.emplace_back(kDefaultDevice);
  return names;
}

// Opens the named PCM for capture and tests which of the two recording formats it offers.
// False when it cannot be opened at all: then it is not counted as a device.
bool Probe(const std::string& name, Device& device) {
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
    return false;
  }
  device.name = name;
  HardwareParameters parameters = NewHardwareParameters();
  device.readable = parameters != nullptr && snd_pcm_hw_params_any(pcm, parameters.get()) >= 0;
  if (device.readable && RestrictToMono8Bit(pcm, parameters.get())) {
    if (snd_pcm_hw_params_test_rate(pcm, parameters.get(), 44100, 0) == 0) {
      device.formats |= kWaveFormatMono8Bit44100;
    }
    if (snd_pcm_hw_params_test_rate(pcm, parameters.get(), 22050, 0) == 0) {
      device.formats |= kWaveFormatMono8Bit22050;
    }
  }
  snd_pcm_close(pcm);
  return true;
}

class AlsaWaveInput final : public WaveInput {
 public:
  uint32_t DeviceCount() override {
    SilentAlsa quiet;
    devices_.clear();
    for (const std::string& name : CaptureNames()) {
      Device device;
      if (Probe(name, device)) {
        devices_.push_back(device);
      }
    }
    return static_cast<uint32_t>(devices_.size());
  }

  bool DeviceFormats(uint32_t device, uint32_t& formats) override {
    if (device >= devices_.size() || !devices_[device].readable) {
      return false;
    }
    formats = devices_[device].formats;
    return true;
  }

  bool Open(uint32_t device, uint32_t sampleRate) override {
    if (pcm_ != nullptr || device >= devices_.size()) {
      return false;
    }
    if (snd_pcm_open(&pcm_, devices_[device].name.c_str(), SND_PCM_STREAM_CAPTURE,
                     SND_PCM_NONBLOCK) < 0) {
      pcm_ = nullptr;
      return false;
    }
    if (!Configure(sampleRate)) {
      snd_pcm_close(pcm_);
      pcm_ = nullptr;
      return false;
    }
    queued_ = 0;
    filled_ = 0;
    overrun_ = false;
    return true;
  }

  bool Start() override {
    lastDelivery_ = Clock::now();
    return pcm_ != nullptr && snd_pcm_start(pcm_) == 0;
  }

  bool Queue(const WaveBuffer& buffer) override {
    if (pcm_ == nullptr || queued_ == kQueueCapacity || buffer.data == nullptr ||
        buffer.length == 0) {
      return false;
    }
    queue_[(first_ + queued_) % kQueueCapacity] = buffer;
    ++queued_;
    return true;
  }

  WaveWait WaitUntilFull(const WaveBuffer& buffer, uint32_t timeoutMilliseconds) override {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (IsQueued(buffer)) {
      WaveBuffer& filling = queue_[first_];
      const snd_pcm_uframes_t wanted =
          std::min<snd_pcm_uframes_t>(period_, filling.length - filled_);
      const snd_pcm_sframes_t read = snd_pcm_readi(pcm_, filling.data + filled_, wanted);
      if (read > 0) {
        lastDelivery_ = Clock::now();
        filled_ += static_cast<uint32_t>(read);
        if (filled_ == filling.length) {
          first_ = (first_ + 1) % kQueueCapacity;
          --queued_;
          filled_ = 0;
        }
        continue;
      }
      if (read == 0 || read == -EAGAIN) {
        const Clock::time_point now = Clock::now();
        if (now - lastDelivery_ > kStallLimit) {
          return WaveWait::kFailed;
        }
        if (now >= deadline) {
          return WaveWait::kNotYet;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        const int waited = snd_pcm_wait(
            pcm_, static_cast<int>(std::min<long long>(left, kLongestWaitMilliseconds)));
        if (waited < 0 && !Recover(waited)) {
          return WaveWait::kFailed;
        }
        continue;
      }
      if (!Recover(static_cast<int>(read))) {
        return WaveWait::kFailed;
      }
    }
    return WaveWait::kFull;
  }

  bool TakeOverrun() override {
    const bool overran = overrun_;
    overrun_ = false;
    return overran;
  }

  bool Stop() override {
    queued_ = 0;
    filled_ = 0;
    return pcm_ != nullptr && snd_pcm_drop(pcm_) == 0;
  }

  bool Close() override {
    queued_ = 0;
    filled_ = 0;
    if (pcm_ == nullptr) {
      return false;
    }
    const int closed = snd_pcm_close(pcm_);
    pcm_ = nullptr;
    return closed == 0;
  }

 private:
  // Sets the recording format and a ring buffer large enough to ride out a busy moment, and
  // learns the period: reads never ask for more than one period at a time.
  bool Configure(uint32_t sampleRate) {
    HardwareParameters parameters = NewHardwareParameters();
    if (parameters == nullptr || snd_pcm_hw_params_any(pcm_, parameters.get()) < 0 ||
        !RestrictToMono8Bit(pcm_, parameters.get()) ||
        snd_pcm_hw_params_set_rate(pcm_, parameters.get(), sampleRate, 0) != 0) {
      return false;
    }
    unsigned int ringTime = kRingMicroseconds;
    unsigned int periodTime = kPeriodMicroseconds;
    int direction = 0;
    // Near values are wishes: a device that cannot meet them keeps its own.
    snd_pcm_hw_params_set_buffer_time_near(pcm_, parameters.get(), &ringTime, &direction);
    direction = 0;
    snd_pcm_hw_params_set_period_time_near(pcm_, parameters.get(), &periodTime, &direction);
    if (snd_pcm_hw_params(pcm_, parameters.get()) < 0) {
      return false;
    }
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t ring = 0;
    direction = 0;
    if (snd_pcm_hw_params_get_period_size(parameters.get(), &period, &direction) < 0 ||
        snd_pcm_hw_params_get_buffer_size(parameters.get(), &ring) < 0 || period == 0) {
      return false;
    }
    period_ = std::min(period, ring);
    return true;
  }

  bool IsQueued(const WaveBuffer& buffer) const {
    for (size_t i = 0; i < queued_; ++i) {
      if (queue_[(first_ + i) % kQueueCapacity].data == buffer.data) {
        return true;
      }
    }
    return false;
  }

  // Brings the device back after an overrun (samples lost: noted for TakeOverrun) or a
  // suspend, and starts it again. False for any other error.
  bool Recover(int error) {
    if (error != -EPIPE && error != -ESTRPIPE && error != -EINTR) {
      return false;
    }
    if (snd_pcm_recover(pcm_, error, 1) < 0) {
      return false;
    }
    if (error != -EINTR) {
      overrun_ = true;
      if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED && snd_pcm_start(pcm_) < 0) {
        return false;
      }
    }
    lastDelivery_ = Clock::now();
    return true;
  }

  std::vector<Device> devices_;
  snd_pcm_t* pcm_ = nullptr;
  snd_pcm_uframes_t period_ = 0;
  WaveBuffer queue_[kQueueCapacity];
  size_t first_ = 0;
  size_t queued_ = 0;
  uint32_t filled_ = 0;  // bytes of the first queued buffer filled so far
  bool overrun_ = false;
  Clock::time_point lastDelivery_;
};

}  // namespace

WaveInput& SystemWaveInput() {
  // Never destroyed: the sound card may still be closed while the program ends.
  static WaveInput* const input = new AlsaWaveInput;
  return *input;
}

}  // namespace Platform_ns
