#include "sound/Raw_file_handler.h"

namespace SoundInput_ns {

RAWSound::RAWSound() {
  SampleRate = 44100;
}

RAWSound::~RAWSound() {
  Close();
}

void RAWSound::ResetCounters() {
  Ended = false;
  Position = 0;
}

void RAWSound::Open(std::string name) {
  if (input_.IsOpen()) {
    throw std::runtime_error("A RAW input file is already open");
  }
  input_.Clear();
  input_.Open(name);
  if (!input_.IsOpen()) {
    throw std::runtime_error("Could not open " + name);
  }
  TotalLength = 0;
  fileLength_ = 0;
  input_.SeekFromEnd(0);
  fileLength_ = input_.Tell();
  if (fileLength_ < 0) {
    // A stream that cannot tell its length (not a regular file) is read as it comes.
    fileLength_ = 0;
    input_.Clear();
  }
  // TotalLength keeps only the low 32 bits; FileLength has the whole length, which the DC
  // offset correction goes by. Decoding reads on to the end of the file whatever its length.
  TotalLength = static_cast<int32_t>(static_cast<uint32_t>(fileLength_ & 0xFFFFFFFF));
  input_.SeekFromBeginning(0);
}

bool RAWSound::Close() {
  return CloseFileStreams(*this, input_, output_);
}

void RAWSound::Rewind() {
  input_.Clear();
  input_.SeekFromBeginning(0);
  ResetCounters();
}

bool RAWSound::AtDataEnd() {
  return input_.Tell() == fileLength_;
}

void RAWSound::OpenOutput(std::string name) {
  if (output_.IsOpen()) {
    throw std::runtime_error("A RAW output file is already open");
  }
  output_.Clear();
  output_.OpenNew(name);
  if (!output_.IsOpen()) {
    throw std::runtime_error("Could not open output file");
  }
}

}  // namespace SoundInput_ns
