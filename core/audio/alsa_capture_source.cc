#include "core/audio/alsa_capture_source.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

namespace {

// How long the worker waits for the device at a time, so that control calls
// (which take the same mutex) never wait longer.
constexpr int kWaitMillis = 10;

void alsaDiagnostic(const char* file, int line, const char* function, int err, const char* fmt,
                    ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  logWithLogger<LogLevel::Debug>(nullptr, "ALSA: ", function != nullptr ? function : "", " (",
                                 file != nullptr ? file : "", ":", line, "): ", text,
                                 err != 0 ? " - " : "", err != 0 ? snd_strerror(err) : "");
}

void routeAlsaDiagnostics() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(alsaDiagnostic); });
}

// Sets the fixed part of the format: interleaved 16-bit host-order mono.
int setMonoS16(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw) {
  int status = snd_pcm_hw_params_any(pcm, hw);
  if (status >= 0) status = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (status >= 0) status = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16);
  if (status >= 0) status = snd_pcm_hw_params_set_channels(pcm, hw, 1);
  return status < 0 ? status : 0;
}

}  // namespace

AlsaCaptureSource::AlsaCaptureSource(std::string device, const Clock& clock)
    : device_(std::move(device)), clock_(&clock) {
  routeAlsaDiagnostics();
}

AlsaCaptureSource::~AlsaCaptureSource() { close(); }

std::string AlsaCaptureSource::statusText(int status) { return snd_strerror(status); }

unsigned short AlsaCaptureSource::availableRates() {
  ControlLock control(*this);
  snd_pcm_t* pcm = nullptr;
  const int status = snd_pcm_open(&pcm, device_.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (status < 0) {
    throw std::runtime_error("Cannot open ALSA capture device " + device_ + ": " +
                             snd_strerror(status));
  }
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  unsigned short rates = 0;
  if (setMonoS16(pcm, hw) == 0) {
    for (unsigned bit = SampleRate_8000; bit <= SampleRate_192000; bit <<= 1) {
      const int hz = SampleRateToHz(static_cast<SampleRate>(bit));
      if (snd_pcm_hw_params_test_rate(pcm, hw, static_cast<unsigned>(hz), 0) == 0) {
        rates = static_cast<unsigned short>(rates | bit);
      }
    }
  }
  snd_pcm_close(pcm);
  return rates;
}

int AlsaCaptureSource::openDevice(int rateHz, unsigned frames, unsigned bufferCount) {
  int status = snd_pcm_open(&pcm_, device_.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (status < 0) {
    pcm_ = nullptr;
    return status;
  }
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  status = setMonoS16(pcm_, hw);
  if (status >= 0) status = snd_pcm_hw_params_set_rate(pcm_, hw, static_cast<unsigned>(rateHz), 0);
  snd_pcm_uframes_t period = frames;
  int dir = 0;
  if (status >= 0) status = snd_pcm_hw_params_set_period_size_near(pcm_, hw, &period, &dir);
  snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(frames) * std::max(bufferCount, 2u);
  if (status >= 0) status = snd_pcm_hw_params_set_buffer_size_near(pcm_, hw, &buffer);
  if (status >= 0) status = snd_pcm_hw_params(pcm_, hw);
  if (status < 0) {
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
    return status;
  }
  rateHz_ = rateHz;
  block_.assign(frames, 0);
  return kOk;
}

int AlsaCaptureSource::startDevice() {
  int status = snd_pcm_prepare(pcm_);
  if (status >= 0) status = snd_pcm_start(pcm_);
  return status < 0 ? status : kOk;
}

int AlsaCaptureSource::pauseDevice() {
  // Few capture devices can pause; dropping and preparing again on start
  // loses only what was waiting in the device.
  const int status = snd_pcm_drop(pcm_);
  return status < 0 ? status : kOk;
}

int AlsaCaptureSource::stopDevice() {
  const int status = snd_pcm_drop(pcm_);
  return status < 0 ? status : kOk;
}

void AlsaCaptureSource::closeDevice() {
  if (pcm_ != nullptr) snd_pcm_close(pcm_);
  pcm_ = nullptr;
}

void AlsaCaptureSource::captureStep(std::unique_lock<tembrolexin::Mutex>& lock) {
  const int ready = snd_pcm_wait(pcm_, kWaitMillis);
  if (ready == 0) return;  // nothing yet
  snd_pcm_sframes_t got = ready;
  if (ready > 0) {
    // Silence for whatever the device leaves unwritten (the "null" device
    // writes nothing).
    std::fill(block_.begin(), block_.end(), int16_t{0});
    got = snd_pcm_readi(pcm_, block_.data(), block_.size());
  }
  if (got == -EAGAIN || got == 0) return;
  if (got < 0) {
    if (got == -EPIPE) logWithLogger<LogLevel::Warning>(nullptr, "ALSA capture overrun on ", device_);
    int status = snd_pcm_recover(pcm_, static_cast<int>(got), 1);
    if (status >= 0) status = snd_pcm_start(pcm_);
    if (status < 0) {
      logWithLogger<LogLevel::Error>(nullptr, "ALSA capture on ", device_,
                                     " failed: ", snd_strerror(status));
      haltFromWorker();
    }
    return;
  }
  snd_pcm_sframes_t waiting = 0;
  if (snd_pcm_delay(pcm_, &waiting) < 0 || waiting < 0) waiting = 0;
  const int64_t ageNanos =
      (static_cast<int64_t>(got) + waiting) * 1000000000LL / static_cast<int64_t>(rateHz_);
  CaptureStamp stamp;
  stamp.hostTimeValid = true;
  stamp.hostTime = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       clock_->steadyNow().time_since_epoch())
                       .count() -
                   ageNanos;
  deliver(lock, block_.data(), static_cast<std::size_t>(got), stamp);
}

}  // namespace tembrolexinsdk
