#pragma once

// The files recordings are written as: 8-bit mono WAV, RAW samples and CSW 2.0, encoded in
// memory, and written whole.

#include <cstdint>
#include <string>
#include <vector>

#include "render/Tape_rendering.h"

namespace TapeBuilder_ns {

// 44-byte header + 8-bit unsigned mono PCM (sample + 128), with the RIFF pad
// byte after an odd-sized data chunk.
std::vector<uint8_t> EncodeWav(const std::vector<int8_t>& samples, uint32_t sampleRate);

enum class CswCompression : uint8_t { Rle = 1, ZRle = 2 };

// CSW 2.0: "Compressed Square Wave", 0x1A, version 2.0, sample rate (u32 LE),
// pulse count (u32 LE), compression, flags (bit 0 = initial polarity high),
// header extension length 0, 16-byte encoding application name, then the
// pulses: 1..255 as one byte, 0 or longer as a 0 byte followed by a u32 LE.
// With ZRle that pulse data is a zlib stream.
std::vector<uint8_t> EncodeCsw(const std::vector<uint32_t>& pulses, uint32_t sampleRate,
                               CswCompression compression, bool initialPolarityHigh);

// The 44 bytes before the samples of an 8-bit mono PCM WAV file holding
// dataLength bytes of samples. With padded, the RIFF length counts the pad
// byte that follows an odd-sized data chunk.
std::vector<uint8_t> WavHeader(uint32_t sampleRate, uint32_t dataLength, bool padded);

// The 52-byte CSW 2.0 header described at EncodeCsw; application is cut to 16
// characters.
std::vector<uint8_t> CswHeader(uint32_t sampleRate, uint32_t pulseCount, CswCompression compression,
                               bool initialPolarityHigh, const char* application);

// Appends one pulse in the CSW run-length form: 1..255 as one byte, 0 or
// longer as a 0 byte followed by a u32 LE.
void AppendCswPulse(std::vector<uint8_t>& out, uint32_t pulse);

// Write the samples as they are (signedData) or as unsigned sample + 128.
void WriteRaw(const std::string& path, const std::vector<int8_t>& samples, bool signedData);
void WriteWav(const std::string& path, const std::vector<int8_t>& samples, uint32_t sampleRate);
void WriteCsw(const std::string& path, const std::vector<uint32_t>& pulses, uint32_t sampleRate,
              CswCompression compression, bool initialPolarityHigh);
void WriteCsw(const std::string& path, const PulseTrain& pulses, uint32_t sampleRate,
              CswCompression compression);

}  // namespace TapeBuilder_ns
