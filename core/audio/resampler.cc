#include "core/audio/resampler.h"

#include <algorithm>

#include "core/audio/recorder_exceptions.h"
#include "core/decoder/rate_conversion.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kName = *new std::string("Resampler");

struct RatePair {
  SampleRate from;
  SampleRate to;
};

// Pairs that a Resampler converts, besides equal rates.
constexpr RatePair kConvertible[] = {
    {SampleRate_48000, SampleRate_24000}, {SampleRate_48000, SampleRate_16000},
    {SampleRate_48000, SampleRate_12000}, {SampleRate_48000, SampleRate_8000},
    {SampleRate_44100, SampleRate_22050}, {SampleRate_44100, SampleRate_11025},
    {SampleRate_44100, SampleRate_16000}, {SampleRate_44100, SampleRate_8000},
    {SampleRate_32000, SampleRate_16000}, {SampleRate_32000, SampleRate_8000},
    {SampleRate_24000, SampleRate_12000}, {SampleRate_24000, SampleRate_8000},
    {SampleRate_22050, SampleRate_11025}, {SampleRate_16000, SampleRate_8000},
    {SampleRate_8000, SampleRate_24000},
};

struct FactorEntry {
  SampleRate from;
  SampleRate to;
  int32_t factor;
};

// Pairs served by the integer FIR filter: a positive factor decimates, -3
// interpolates by 3. Every other convertible pair uses the band-pass
// converter.
constexpr FactorEntry kFactors[] = {
    {SampleRate_48000, SampleRate_8000, 6},   {SampleRate_48000, SampleRate_12000, 4},
    {SampleRate_44100, SampleRate_11025, 4},  {SampleRate_32000, SampleRate_8000, 4},
    {SampleRate_48000, SampleRate_16000, 3},  {SampleRate_24000, SampleRate_8000, 3},
    {SampleRate_16000, SampleRate_8000, 2},   {SampleRate_22050, SampleRate_11025, 2},
    {SampleRate_24000, SampleRate_12000, 2},  {SampleRate_32000, SampleRate_16000, 2},
    {SampleRate_48000, SampleRate_24000, 2},  {SampleRate_44100, SampleRate_22050, 2},
    {SampleRate_8000, SampleRate_24000, -3},
};

struct Candidate {
  SampleRate rate;
  unsigned short frames;
};

// Capture rates tried for one required rate, in order, with the buffer
// length each gets (128 ms, and 6144 frames at 44.1 kHz too).
struct ChoiceRow {
  SampleRate required;
  Candidate candidates[6];
  int count;
};

constexpr ChoiceRow kChoice[] = {
    {SampleRate_48000, {{SampleRate_48000, 6144}}, 1},
    {SampleRate_24000,
     {{SampleRate_24000, 3072}, {SampleRate_48000, 6144}, {SampleRate_8000, 1024}},
     3},
    {SampleRate_16000,
     {{SampleRate_16000, 2048},
      {SampleRate_32000, 4096},
      {SampleRate_48000, 6144},
      {SampleRate_44100, 6144}},
     4},
    {SampleRate_8000,
     {{SampleRate_8000, 1024},
      {SampleRate_16000, 2048},
      {SampleRate_24000, 3072},
      {SampleRate_32000, 4096},
      {SampleRate_48000, 6144},
      {SampleRate_44100, 6144}},
     6},
};

// Interpolating by 3 must leave a count that fits 16 bits.
constexpr unsigned short kMaxInterpolatedInput = 65535 / 3;

}  // namespace

SampleRate convertValueToSampleRate(int hz) {
  const SampleRate rate = SampleRateFromHz(hz);
  if (rate == SampleRate_NotAvailable) {
    throw CustomRecorderException("Cannot handle provided sample rate");
  }
  return rate;
}

int Resampler::ConvertSampleRateToHzInt(SampleRate rate) { return SampleRateToHz(rate); }

std::string Resampler::ConvertSampleRateToString(SampleRate rate) {
  if (rate == SampleRate_NotAvailable || rate == SampleRate_RefusedPermission ||
      SampleRateToHz(rate) != 0) {
    return SampleRateToString(rate);
  }
  return "8kHz";
}

std::string Resampler::ConvertSampleRatesToString(unsigned short rates) {
  return SampleRatesToString(rates);
}

void Resampler::LogSampleRates(const INamedObject* sender, const std::string& label,
                               unsigned short rates) {
  logWithLogger<LogLevel::Info>(sender, label, " ", ConvertSampleRatesToString(rates));
}

SampleRate Resampler::ChooseSampleRateAndBufferFrames(unsigned short required,
                                                      unsigned short available,
                                                      unsigned short& frames) {
  frames = 1024;
  for (const ChoiceRow& row : kChoice) {
    if ((required & row.required) == 0) continue;
    for (int i = 0; i < row.count; ++i) {
      if (available & row.candidates[i].rate) {
        frames = row.candidates[i].frames;
        return row.candidates[i].rate;
      }
    }
    return SampleRate_NotAvailable;
  }
  return SampleRate_NotAvailable;
}

bool Resampler::CanConvertSampleRate(SampleRate from, SampleRate to) {
  if (from == to) return true;
  return std::any_of(std::begin(kConvertible), std::end(kConvertible),
                     [&](const RatePair& p) { return p.from == from && p.to == to; });
}

unsigned short Resampler::CaptureRates() {
  unsigned short rates = 0;
  for (const ChoiceRow& row : kChoice) {
    for (int i = 0; i < row.count; ++i) rates |= row.candidates[i].rate;
  }
  return rates;
}

void Resampler::FilterCloser::operator()(ResamplingFilter* filter) const {
  resamplingFilterClose(filter);
}

void Resampler::BandPassCloser::operator()(ResamplingFilter* filter) const {
  DecoderBandPassClose(filter);
}

Resampler::Resampler(SampleRate from, SampleRate to) {
  if (from == to) {
    passThrough_ = true;
    factor_ = 1;
    return;
  }
  const int fromHz = SampleRateToHz(from);
  const int toHz = SampleRateToHz(to);
  coefficients_ = getFilterCoefficients(fromHz, toHz, &tapCount_);
  for (const FactorEntry& entry : kFactors) {
    if (entry.from == from && entry.to == to) factor_ = entry.factor;
  }
  if (factor_ == 0) {
    if (fromHz != 0 && toHz != 0) bandPass_.reset(DecoderBandPassInit(fromHz, toHz));
    if (bandPass_) {
      logWithLogger<LogLevel::Warning>(this, "Converting using using non-integer decimation from ",
                                       ConvertSampleRateToString(from), " to ",
                                       ConvertSampleRateToString(to));
    } else {
      logWithLogger<LogLevel::Assert>(this, "Cannot convert from ",
                                      ConvertSampleRateToString(from), " to ",
                                      ConvertSampleRateToString(to));
    }
    return;
  }
  filter_.reset(resamplingFilterInit(1, 1, &factor_, coefficients_, tapCount_));
}

Resampler::~Resampler() = default;

const std::string& Resampler::GetName() const { return kName; }

unsigned short Resampler::ResampleBufferInPlace(short* samples, unsigned short count) {
  if (passThrough_) return count;
  return ResampleBuffer(samples, count, samples);
}

unsigned short Resampler::ResampleBuffer(const short* input, unsigned short count, short* output) {
  if (input == nullptr || output == nullptr || count == 0) return 0;
  if (passThrough_) {
    if (input != output) std::copy_n(input, count, output);
    return count;
  }
  ResamplingFilter* filter = bandPass_ ? bandPass_.get() : filter_.get();
  if (filter == nullptr) return 0;
  const unsigned short n = factor_ < 0 ? std::min(count, kMaxInterpolatedInput) : count;
  const int32_t capacity = factor_ < 0 ? n * -factor_ : n;
  const int32_t produced = resamplingFilterProcessInto(filter, input, n, output, capacity);
  return static_cast<unsigned short>(std::clamp<int32_t>(produced, 0, 65535));
}

}  // namespace tembrolexinsdk
