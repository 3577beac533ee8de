#include "core/audio/audio_sample_check.h"

#include <cmath>
#include <exception>
#include <utility>

#include "core/audio/resampler.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kName = *new std::string("AudioSampleCheck");

// Samples promised by `elapsedMs` at `hz`.
int64_t expectedSamples(int64_t elapsedMs, int hz) { return elapsedMs * hz / 1000; }

double percentOf(int64_t part, int64_t whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(whole);
}

float secondsAt(int64_t samples, int hz) {
  return hz == 0 ? 0.0f : static_cast<float>(samples) / static_cast<float>(hz);
}

}  // namespace

AudioSampleCheck::AudioSampleCheck(std::function<bool()> isListening, const Clock& clock,
                                   TimingMode mode, Periods periods)
    : isListening_(std::move(isListening)),
      clock_(clock),
      periods_(periods),
      timing_(true, clock, mode) {
  logWithLogger<LogLevel::Debug>(this, "Starting AudioCheck after 10s");
  timing_.start(std::chrono::milliseconds(0));
  schedule(&AudioSampleCheck::shortCheck, periods_.first);
  schedule(&AudioSampleCheck::averageCheck, periods_.first);
}

AudioSampleCheck::~AudioSampleCheck() = default;

const std::string& AudioSampleCheck::GetName() const { return kName; }

void AudioSampleCheck::schedule(void (AudioSampleCheck::*check)(),
                                std::chrono::milliseconds delay) {
  try {
    // A fresh automatic id each time: the id of the check that is running
    // cannot be registered again from inside it.
    timing_.registerEvent(TimingEvent([this, check] { (this->*check)(); },
                                       timing_.elapsed() + delay, TimingEvent::kAutoId,
                                       TimingEvent::kOneShotRemove));
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Error>(this, "Could not re-schedule an audiocheck, error: ", e.what());
  }
}

void AudioSampleCheck::shortCheck() {
  const int64_t now = clock_.upTimeMillis();
  const int64_t total = received_.load();
  if (!isListening_()) {
    logWithLogger<LogLevel::Debug>(this, "MissingAudioCheck: Check: not listening");
    checkStart_ = -1;
    averageStart_ = -1;
    receivedAtBlockStart_ = 0;
  } else if (checkStart_ < 1) {
    logWithLogger<LogLevel::Info>(
        this, "MissingAudioCheck: Check: StateListening entered (currentTime = ", now, ")");
    checkStart_ = now;
  } else {
    const int hz = Resampler::ConvertSampleRateToHzInt(rate_.load());
    const unsigned frames = frames_.load();
    const int64_t got = total - receivedAtLastCheck_;
    const int64_t expected = expectedSamples(now - checkStart_, hz);
    // A fifth of the expected count, rounded up to whole buffers.
    const uint32_t tolerance =
        frames == 0 ? 0
                    : static_cast<uint32_t>(std::ceil(static_cast<float>(expected) * 0.2f /
                                                      static_cast<float>(frames))) *
                          frames;
    if (got > expected + tolerance) {
      logWithLogger<LogLevel::Warning>(this, "MissingAudioCheck: Check: Too many samples received: ",
                                       got, " vs expected ", expected, ": extra samples: ",
                                       got - expected);
    } else if (got < expected - static_cast<int64_t>(tolerance)) {
      logWithLogger<LogLevel::Warning>(this, "MissingAudioCheck: Check: Too few samples received: ",
                                       got, " vs expected ", expected, ": missing samples: ",
                                       expected - got);
    }
    const int64_t shortfall = got >= expected ? 0 : expected - got;
    if (shortfall > longestDelay_) longestDelay_ = shortfall;
    checkStart_ = now;
  }
  receivedAtLastCheck_ = total;
  schedule(&AudioSampleCheck::shortCheck, periods_.check);
}

void AudioSampleCheck::averageCheck() {
  const int64_t now = clock_.upTimeMillis();
  if (!isListening_()) {
    logWithLogger<LogLevel::Debug>(this, "MissingAudioCheck: Avg: not listening");
    checkStart_ = -1;
    receivedAtLastCheck_ = 0;
    averageStart_ = -1;
    receivedAtBlockStart_ = 0;
  } else if (averageStart_ < 1) {
    logWithLogger<LogLevel::Info>(this, "MissingAudioCheck: Avg: StateListening entered");
    averageStart_ = now;
    blockStart_ = now;
    received_.store(0);
    longestDelay_ = 0;
    receivedAtBlockStart_ = 0;
    receivedAtLastCheck_ = 0;
  } else {
    const int64_t total = received_.load();
    const int hz = Resampler::ConvertSampleRateToHzInt(rate_.load());
    const int64_t expected = expectedSamples(now - averageStart_, hz);
    const int64_t slack = 4 * static_cast<int64_t>(frames_.load());
    if (total > expected + slack) {
      logWithLogger<LogLevel::Warning>(this, "MissingAudioCheck: Avg: Overflow samples: ", total,
                                       " vs expected ", expected, ": extra samples: ",
                                       total - expected);
    } else if (total < expected - slack) {
      const int64_t missing = expected - total;
      logWithLogger<LogLevel::Warning>(
          this, "MissingAudioCheck: Avg: Potential gap or delay detected: received ", total,
          " vs expected ", expected, " samples: ", missing, " samples too few (",
          percentOf(missing, expected), "%), or ", secondsAt(missing, hz), " s");
    }
    const int64_t totalMissing = expected - total;
    const int64_t blockExpected = expectedSamples(now - blockStart_, hz);
    const int64_t blockMissing = blockExpected - (total - receivedAtBlockStart_);
    blockStart_ = now;
    receivedAtBlockStart_ = total;
    logWithLogger<LogLevel::Info>(
        this, "MissingAudioCheck: BLOCK: missing ", blockMissing, " (",
        percentOf(blockMissing, blockExpected), "%, ", secondsAt(blockMissing, hz),
        " s), TOTAL: missing ", totalMissing, " (", percentOf(totalMissing, expected), "%, ",
        secondsAt(totalMissing, hz), " s); longest delay: ", longestDelay_, " (",
        secondsAt(longestDelay_, hz), " s)");
  }
  schedule(&AudioSampleCheck::averageCheck, periods_.average);
}

}  // namespace tembrolexinsdk
