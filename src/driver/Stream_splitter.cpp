#include "driver/Stream_splitter.h"

#include <iostream>
#include <stdexcept>

#include "platform/Console.h"

namespace StreamSplitter_ns {

TeeStreamBuf::TeeStreamBuf(std::streambuf* first, std::streambuf* second)
    : first_(first), second_(second), givenFirst_(first) {
  setp(nullptr, nullptr);
}

TeeStreamBuf::~TeeStreamBuf() = default;

void TeeStreamBuf::Restore() {
  first_ = givenFirst_;
  firstFailed_ = false;
}

TeeStreamBuf::int_type TeeStreamBuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) {
    return traits_type::not_eof(c);
  }
  const char_type ch = traits_type::to_char_type(c);
  if (first_ != nullptr && traits_type::eq_int_type(first_->sputc(ch), traits_type::eof())) {
    first_ = nullptr;
    firstFailed_ = true;
  }
  if (second_ != nullptr && traits_type::eq_int_type(second_->sputc(ch), traits_type::eof())) {
    return traits_type::eof();
  }
  return traits_type::not_eof(c);
}

int TeeStreamBuf::sync() {
  if (first_ != nullptr && first_->pubsync() == -1) {
    first_ = nullptr;
    firstFailed_ = true;
  }
  return second_ == nullptr || second_->pubsync() != -1 ? 0 : -1;
}

TeeStreamBuf::int_type TeeStreamBuf::underflow() {
  return traits_type::eof();
}

TeeStream::TeeStream(std::streambuf* first, std::streambuf* second)
    : std::ostream(nullptr), buffer_(std::make_unique<TeeStreamBuf>(first, second)) {
  rdbuf(buffer_.get());
}

std::ofstream LogStream;
TeeStream Tee(LogStream.rdbuf(), std::cout.rdbuf());

std::atomic<bool> InterruptRequested{false};

namespace {

std::atomic<const char*> interruptReason{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free,
              "the control handler may only use lock-free atomics");

}  // namespace

const char* InterruptReason() {
  return interruptReason.load(std::memory_order_acquire);
}

bool ConsoleControlHandler(int eventCode) {
  const char* text = nullptr;
  switch (eventCode) {
    case Platform_ns::kControlC:
      text = "\nControl C";
      break;
    case Platform_ns::kControlBreak:
      text = "\nControl Break";
      break;
    case Platform_ns::kControlClose:
      text = "\nClose";
      break;
    case Platform_ns::kControlLogOff:
      text = "\nLog Off";
      break;
    case Platform_ns::kControlShutdown:
      text = "\nShutdown";
      break;
    default:
      return false;
  }
  // Keep the first reason: a second event must not change the text while the main thread may
  // be writing it.
  const char* none = nullptr;
  interruptReason.compare_exchange_strong(none, text, std::memory_order_release);
  InterruptRequested.store(true, std::memory_order_release);
  return true;
}

void InstallConsoleControlHandler() {
  Platform_ns::InstallControlEventHandler(ConsoleControlHandler);
}

void CheckInterrupted() {
  if (!InterruptRequested.load(std::memory_order_acquire)) {
    return;
  }
  // The reason is written once, however many checks see the interruption: passes running
  // side by side may see it at once.
  static std::atomic<bool> reasonWritten{false};
  const char* reason = InterruptReason();
  if (reason != nullptr && !reasonWritten.exchange(true)) {
    Tee << reason;
  }
  throw std::runtime_error("Execution interrupted");
}

}  // namespace StreamSplitter_ns
