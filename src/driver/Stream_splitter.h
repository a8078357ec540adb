#pragma once

#include <atomic>
#include <fstream>
#include <memory>
#include <ostream>
#include <streambuf>

namespace StreamSplitter_ns {

// A stream buffer that hands every character to two target buffers, the log's first and then
// the console's. It has no put area, so each character goes through overflow on its own and
// reaches the log and the console in the order written. A first target (the log) that refuses
// a character or a flush is dropped: that character and everything after it go to the second
// alone, so that the report still reaches the console when the log cannot be written. A second
// target that refuses a character makes the write fail.
class TeeStreamBuf : public std::streambuf {
 public:
  TeeStreamBuf(std::streambuf* first, std::streambuf* second);
  ~TeeStreamBuf() override;

  // Whether the first target refused a character or a flush and was dropped.
  bool FirstFailed() const { return firstFailed_; }
  // Starts again with both targets, as constructed.
  void Restore();

 protected:
  int sync() override;
  int_type underflow() override;
  int_type overflow(int_type c) override;

 private:
  std::streambuf* first_;
  std::streambuf* second_;
  std::streambuf* givenFirst_;
  bool firstFailed_ = false;
};

// The one stream for all run output: an output stream that owns its TeeStreamBuf.
class TeeStream : public std::ostream {
 public:
  TeeStream(std::streambuf* first, std::streambuf* second);

  // Whether the log refused a character or a flush: what followed went to the console alone.
  bool LogFailed() const { return buffer_->FirstFailed(); }
  // Writes to both targets again, for a new run.
  void RestoreLog() { buffer_->Restore(); }

 private:
  std::unique_ptr<TeeStreamBuf> buffer_;
};

// The log file, opened by the run driver under the log name.
extern std::ofstream LogStream;

// Writes to the log file and the console at once.
extern TeeStream Tee;

// Set by ConsoleControlHandler and never cleared; read by CheckInterrupted.
extern std::atomic<bool> InterruptRequested;

// The text that says why the run was interrupted, or null while it was not.
const char* InterruptReason();

// Turns a console control event (Control-C and the like) into a request to stop: stores the
// event's text (the first one is kept) and then sets InterruptRequested. Returns true for the
// five events it handles, false for any other code. Safe to call from a signal handler.
bool ConsoleControlHandler(int eventCode);

// Installs ConsoleControlHandler for the rest of the process; called once at start-up.
void InstallConsoleControlHandler();

// Raises "Execution interrupted" after writing the reason to Tee once an interruption has been
// requested; does nothing otherwise. Polled by the processing loops.
void CheckInterrupted();

}  // namespace StreamSplitter_ns
