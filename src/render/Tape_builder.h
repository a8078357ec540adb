#pragma once

// TapeBuilder: builds and renders recordings of Acorn 1200-baud cassette tapes.
//
// A recording is described at wave level as a Tape: a list of segments, each
// either a run of whole or half cycles of a tone of some frequency, or a
// stretch of silence. Durations are kept in seconds and cycles, never in
// samples, so one Tape can be rendered at any sample rate and tape speed:
//
//   - RenderSamples() produces signed 8-bit PCM (sine or square, with phase,
//     DC offset, slow DC drift, wow, drop-outs and deterministic white noise);
//   - RenderPulses() produces the half-cycle lengths a CSW file stores;
//   - StreamRenderer renders the same samples segment by segment into a
//     SampleSink, so that recordings of any length are written without being
//     held in memory (varnstow-tool's render command works this way).
//
// TapeWriter turns bytes and blocks into waves using the cassette encoding:
// a 0 bit is one cycle of 1200 Hz, a 1 bit two cycles of 2400 Hz, bytes are
// framed 8N1 (start 0, eight data bits LSB first, stop 1) and carrier tone is
// a run of 2400 Hz cycles. BlockBytes() gives the exact byte image of a block.
//
// Typical use:
//
//   TapeBuilder_ns::FileSpec file{"HELLO", 0x1900, 0x8023, programBytes};
//   TapeBuilder_ns::Tape tape = TapeBuilder_ns::StandardTape({file});
//   TapeBuilder_ns::RenderOptions options;
//   options.sampleRate = 48000;
//   options.noiseStdDev = TapeBuilder_ns::NoiseStdDevForSnr(
//       options.amplitude, options.shape, 20.0);
//   std::vector<int8_t> samples = TapeBuilder_ns::RenderSamples(tape, options);
//   TapeBuilder_ns::WriteWav("hello.wav", samples, options.sampleRate);
//
// Or, for full control over the layout:
//
//   TapeBuilder_ns::TapeWriter writer;
//   writer.Gap(0.5).CarrierSeconds(1.0).DummyByte().CarrierSeconds(4.1);
//   for (const auto& block : TapeBuilder_ns::FileBlocks("DATA", 0, 0, bytes))
//       writer.Block(block).CarrierSeconds(0.5);
//   writer.Cycles(2400.0, 1).Gap(1.0);   // a stray wave inside a gap
//   TapeBuilder_ns::Tape tape = writer.Take();
//
// Everything throws std::invalid_argument on arguments it cannot represent and
// std::runtime_error when a file cannot be written. Only the Write* functions
// touch the file system.
//
// The pieces have headers of their own: render/Block_bytes.h, render/Tape_model.h,
// render/Tape_rendering.h and render/File_encoders.h. Callers include this one.

#include "render/Block_bytes.h"     // IWYU pragma: export
#include "render/File_encoders.h"   // IWYU pragma: export
#include "render/Tape_model.h"      // IWYU pragma: export
#include "render/Tape_rendering.h"  // IWYU pragma: export
