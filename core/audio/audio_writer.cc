#include "core/audio/audio_writer.h"

#include <cstdio>
#include <utility>

#include "core/runtime/dir_info.h"
#include "core/runtime/file_info.h"

namespace tembrolexinsdk {

namespace {

constexpr char kPrefix[] = "HybridAudioSamples.";
constexpr char kSuffix[] = ".raw";

// Whether `name` is a writer's recording: prefix, digits, suffix.
bool isRecordingName(const std::string& name) {
  const size_t prefix = sizeof(kPrefix) - 1;
  const size_t suffix = sizeof(kSuffix) - 1;
  if (name.size() <= prefix + suffix) return false;
  if (name.compare(0, prefix, kPrefix) != 0) return false;
  if (name.compare(name.size() - suffix, suffix, kSuffix) != 0) return false;
  for (size_t i = prefix; i < name.size() - suffix; ++i) {
    if ((name[i] < '0' || name[i] > '9') && !(i == prefix && name[i] == '-')) return false;
  }
  return true;
}

}  // namespace

AudioWriter::AudioWriter(Log log, std::string outputFolder, bool record)
    : log_(std::move(log)), outputFolder_(std::move(outputFolder)), record_(record) {}

AudioWriter::~AudioWriter() { close(); }

void AudioWriter::setLogger(Log log) { log_ = std::move(log); }

void AudioWriter::setOutputFolder(const std::string& folder) {
  outputFolder_ = folder;
  if (record_ || !tembrolexin::FileInfo(folder).exists()) return;
  for (const std::string& path : tembrolexin::DirInfo(folder).list(tembrolexin::DirInfo::kFiles)) {
    if (isRecordingName(tembrolexin::FileInfo(path).filename())) std::remove(path.c_str());
  }
}

void AudioWriter::toggleRecording(bool record) { record_ = record; }

std::string AudioWriter::fileName(std::chrono::steady_clock::time_point time) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  return kPrefix + std::to_string(ms) + kSuffix;
}

bool AudioWriter::open(std::chrono::steady_clock::time_point time) {
  const std::string path = tembrolexin::FileInfo::addPath(outputFolder_, fileName(time));
  log_.info("Start recording to file: ", path);
  file_.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!file_.is_open()) log_.warning("Couldn't open file to record to");
  return file_.is_open();
}

void AudioWriter::write(const short* samples, unsigned count,
                        std::chrono::steady_clock::time_point time) {
  if (!record_) return;
  if (!file_.is_open() && !open(time)) return;
  if (count == 0 || samples == nullptr) return;
  file_.write(reinterpret_cast<const char*>(samples),
              static_cast<std::streamsize>(count) * static_cast<std::streamsize>(sizeof(short)));
}

void AudioWriter::close() {
  if (!file_.is_open()) return;
  file_.flush();
  file_.close();
}

}  // namespace tembrolexinsdk
