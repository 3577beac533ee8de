// Decoder channel: decodes one encoding scheme. It wires the stages of the
// decoding core into one pipeline per block of samples:
//
//   level meter -> pre-filter -> frame cutter -> two-band splitter (B = 2)
//   -> per-band gain normaliser -> per-band matched filter -> detector
//   -> at each decision point: code-word assembly, decoding, result history
//   -> level report -> acceptance
//
// and fills one PerformanceData record per block.
//
// Decisions are taken as they happen: frames are handed to the matched
// filters at most one phase step at a time, so every decision point of a
// block is decoded at its own position, however long the block. The words
// found are therefore the same for any block size up to one symbol; a block
// that spans several decision points still reports one word per record (the
// best of them, by corrected symbols and then strength).
//
// Ownership: createDecoderChannel returns a channel (null on failure, with
// the decoder's error text set) that deleteDecoderChannel frees. The channel
// borrows its SchemeConfig, which must outlive it. With mode 0 the assembly
// and the codec's work areas live in a caller's scratch pad
// (assignChannelScratchPad) which must outlive the channel's use; until one
// is assigned the channel measures the signal but decodes nothing.
//
// Thread safety: none; a channel is used by one thread at a time.
#ifndef TL_CORE_DECODER_DECODER_CHANNEL_H_
#define TL_CORE_DECODER_DECODER_CHANNEL_H_

#include <cstdint>

#include "core/decoder/codeword_codec.h"
#include "core/decoder/detection.h"
#include "core/decoder/front_end.h"
#include "core/decoder/matched_filter.h"
#include "core/decoder/performance_data.h"
#include "core/decoder/running_average.h"
#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

// Gain normaliser of one band: brings the loudest sample of each period
// towards 4096 .. 8191 by a left shift, smoothed over `averageCount`
// periods.
struct BlockNormaliser {
  int32_t peak;     // largest magnitude of this period (0 .. 32768)
  int32_t counter;
  int16_t shift;    // current gain as a left shift, 0 .. 13
  int16_t period;   // samples per measurement
  int32_t averageCount;
  RunningAverage average;
};

// period = (band rate code * 256) / B, averageCount = 16 / B. Null when
// memory runs out or either value is below 1.
BlockNormaliser* createBlockNormaliser(int32_t period, int32_t averageCount);
void deleteBlockNormaliser(BlockNormaliser* normaliser);
// Normalises `count` samples taken at `stride`, in place.
void blockNormalise(BlockNormaliser* normaliser, int16_t* samples, int32_t count,
                    int32_t stride);

struct DecoderChannel {
  MatchedFilter** matchedFilters;  // B
  BlockNormaliser** normalisers;   // B
  PreFilter* preFilter;
  Detector* detector;
  CodewordCodec* codec;
  int8_t* assembly;                // F * B * P soft symbols
  int32_t codedLength;             // C
  LevelMeter* levelMeter;
  SymbolStatistics* symbolStatistics;
  AcceptanceState* acceptance;
  int32_t bandCount;               // B
  BandFilter* bandFilters;         // B when B > 1, else null
  FrameCutter* frameCutter;
  ResultHistory* resultHistory;
  const SchemeConfig* config;
  int32_t ownsWorkAreas;
  // Derived once at creation.
  int32_t framesPerCodeword;       // F
  int32_t positionCount;           // P
  int32_t phaseCount;              // N
  int32_t bandRate;                // band rate code
  int32_t stepLength;              // band samples per phase step
  int32_t orderCount;              // max(positionOrderCount, 1)
};

// Rate in Hz of a rate code: 22050 for 22, 44100 for 44, else code * 1000.
// The channel's name for rateCodeToHertz (scheme_config.h).
inline int32_t rateCodeToHz(int32_t rateCode) { return rateCodeToHertz(rateCode); }

// A channel for `config` fed at `rateHz` (which must be the scheme's rate).
// A non-zero mode gives the channel its own work areas.
DecoderChannel* createDecoderChannel(const SchemeConfig* config, int32_t rateHz,
                                     int32_t mode);
void deleteDecoderChannel(DecoderChannel* channel);

// Bytes of scratch pad the channel needs; with a pad (4-byte aligned, at
// least that large) the assembly goes to its start and the codec's areas
// right after it, so decoding never overwrites the word it reads.
int32_t assignChannelScratchPad(DecoderChannel* channel, void* pad);

// Runs `count` samples (filtered in place) through the channel and fills
// `data`. Returns data->msg (-1 when the block gave no code word).
int64_t processDecoderChannel(DecoderChannel* channel, int16_t* samples, int32_t count,
                              PerformanceData* data);

// Empties every soft-symbol ring (and the detector's window sums that
// summarise them); nothing else is touched.
void clearDecoderChannelHistory(DecoderChannel* channel);

// The soft-symbol rings of band `band`, made anew empty with `length` slots
// when length > 0 (the detector's window sums are cleared with them). Null
// for a band outside 0 .. B-1 or when a ring cannot be made.
CircularBuffer* decoderChannelSoftSymbols(DecoderChannel* channel, int32_t band,
                                          int32_t length);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_DECODER_CHANNEL_H_
