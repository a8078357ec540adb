#include "uef/Wave_analysis.h"

#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/File_system.h"
#include "uef/Gzstream.h"

namespace UEFFormat_ns {

UEFFormatWriting TheUEFImage;

namespace {

void CheckWritten(const UEFFormatWriting& writer) {
  if (writer.Fail()) {
    throw std::runtime_error("File writing error");
  }
}

void WriteLittleEndian(UEFFormatWriting& writer, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    writer.WriteByte(static_cast<uint8_t>(value >> (8 * i)));
  }
}

// Keeps a temporary file on the platform layer's list (Platform_ns::RegisterTemporaryFile) for
// as long as the save may leave it: a program that removes the listed files when it is
// interrupted (varnstow-tool) then leaves no temporary image either.
class ListedTemporaryFile {
 public:
  explicit ListedTemporaryFile(std::string path) : path_(std::move(path)) {
    Platform_ns::RegisterTemporaryFile(path_);
  }
  ~ListedTemporaryFile() { Platform_ns::UnregisterTemporaryFile(path_); }
  ListedTemporaryFile(const ListedTemporaryFile&) = delete;
  ListedTemporaryFile& operator=(const ListedTemporaryFile&) = delete;

 private:
  std::string path_;
};

// Writes the image through out, which has just been created under temporaryName beside the
// drive file, and then gives the file the drive file's name: the drive file is replaced only
// by a complete image, and an earlier one stays until then.
template <class Stream>
void SaveThrough(Stream& out, UEFFormatWriting& writer, const std::string& temporaryName) {
  if (!out.is_open() || out.fail()) {
    writer.ResetImage();
    throw std::runtime_error("Could not open output UEF file on drive");
  }
  const std::string bytes = writer.ImageBytes();
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  const bool written = !out.fail();
  if (!written) {
    out.clear();
  }
  out.close();
  const bool closed = !out.fail();
  if (written && closed) {
    const Platform_ns::FileResult renamed =
        Platform_ns::TheFileOperations.Replace(temporaryName, writer.DriveFileName);
    if (renamed.error == Platform_ns::FileError::kNone) {
      writer.ResetImage();
      return;
    }
    Platform_ns::TheFileOperations.Remove(temporaryName);
    writer.ResetImage();
    throw std::runtime_error("Could not give the UEF file its name on drive (" + renamed.text +
                             ")");
  }
  if (!written && !closed) {
    std::cerr << "\nCould not close UEF file on drive." << std::flush;
  }
  // A compressed file is completed only when it is closed, so after a failing close the file
  // on the drive is as incomplete as after a failing write: neither is left there.
  const Platform_ns::FileResult removed = Platform_ns::TheFileOperations.Remove(temporaryName);
  if (removed.error == Platform_ns::FileError::kPermissionDenied) {
    std::cerr << "\nOS Permission denied to remove the UEF file on drive." << std::flush;
  }
  writer.ResetImage();
  throw std::runtime_error(written ? "Could not close UEF file on drive"
                                   : "Error writing UEF file on drive");
}

}  // namespace

void UEFFormatWriting::OpenImage(std::string name, uint8_t minor, uint8_t major) {
  if (ImageOpen) {
    throw std::runtime_error("A UEF output in memory file is already open");
  }
  DriveFileName = std::move(name);
  ImageOpen = true;
  static const char kIdentifier[10] = {'U', 'E', 'F', ' ', 'F', 'i', 'l', 'e', '!', '\0'};
  WriteBlock(kIdentifier, sizeof kIdentifier);
  CheckedWriteByte(minor);
  CheckedWriteByte(major);
}

void UEFFormatWriting::WriteChunk(uint16_t id, uint32_t length, const uint8_t* data) {
  WriteLittleEndian(*this, id, 2);
  CheckWritten(*this);
  WriteLittleEndian(*this, length, 4);
  CheckWritten(*this);
  if (length != 0) {
    WriteBlock(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
  }
  CheckWritten(*this);
}

void UEFFormatWriting::WriteOriginText(const std::string& text) {
  WriteChunk(kOriginChunk, static_cast<uint32_t>(text.size() + 1),
             reinterpret_cast<const uint8_t*>(text.c_str()));
}

void UEFFormatWriting::WriteBaseFrequencyPlaceholder() {
  static const uint8_t kZero[4] = {0, 0, 0, 0};
  WriteChunk(kBaseFrequencyChunk, sizeof kZero, kZero);
}

void UEFFormatWriting::Discard() {
  Underlying().str(std::string());
  Clear();
  DriveFileName.clear();
  ImageOpen = false;
}

void SaveImage(UEFFormatWriting& writer, bool compress) {
  // A folder, or a file that may not be written, in the image's place is not replaced.
  const Platform_ns::FileFacts existing = Platform_ns::FactsOf(writer.DriveFileName);
  if (existing.exists && (!existing.regular || existing.readOnly)) {
    writer.ResetImage();
    throw std::runtime_error("Could not open output UEF file on drive");
  }
  const std::string temporaryName = Platform_ns::TemporaryNameBeside(writer.DriveFileName);
  const ListedTemporaryFile listed(temporaryName);
  if (compress) {
    GZStream_ns::ogzstream out;
    out.create_new(temporaryName.c_str(), std::ios::out | std::ios::binary);
    SaveThrough(out, writer, temporaryName);
  } else {
    GZStream_ns::DriveFileStream out;
    out.create_new(temporaryName.c_str(), std::ios::out | std::ios::binary | std::ios::trunc);
    SaveThrough(out, writer, temporaryName);
  }
}

}  // namespace UEFFormat_ns
