// MediaStream: what a sync engine is synchronised to. A codeword stream (kind
// 1) has an integer id (an EVENT2 track or a heartbeat station), an
// audio-match stream (kind 0) a string id; kind 2 is "nothing". Positions in
// a stream are milliseconds.
//
// Plain value: copy freely; a const object may be read from any thread.
#ifndef TL_CORE_ENGINES_MEDIA_STREAM_H_
#define TL_CORE_ENGINES_MEDIA_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace tembrolexinsdk {

struct MediaStream {
  static constexpr int32_t kAudioMatch = 0;
  static constexpr int32_t kCodeword = 1;
  static constexpr int32_t kNone = 2;

  MediaStream() = default;
  MediaStream(int32_t k, std::string am, int64_t i) : kind(k), amId(std::move(am)), id(i) {}
  static MediaStream codeword(int64_t id) { return MediaStream(kCodeword, std::string(), id); }
  static MediaStream audioMatch(std::string amId) {
    return MediaStream(kAudioMatch, std::move(amId), -1);
  }

  bool isNull() const { return kind == kNone; }

  // Equal kinds and, for codeword streams, equal ids; for audio-match
  // streams, equal amIds. Two "nothing" streams are equal; streams of any
  // other kind never are.
  bool operator==(const MediaStream& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
      case kCodeword:
        return id == other.id;
      case kAudioMatch:
        return amId == other.amId;
      case kNone:
        return true;
      default:
        return false;
    }
  }
  bool operator!=(const MediaStream& other) const { return !(*this == other); }

  // For log lines: "CWid=<id>", "AMid=<amId>", or "" for other kinds.
  std::string description() const {
    if (kind == kCodeword) return "CWid=" + std::to_string(id);
    if (kind == kAudioMatch) return "AMid=" + amId;
    return std::string();
  }

  int32_t kind = kNone;
  std::string amId;
  int64_t id = -1;
};

struct MediaStreamHash {
  size_t operator()(const MediaStream& s) const {
    if (s.kind == MediaStream::kCodeword) return std::hash<int64_t>()(s.id);
    if (s.kind == MediaStream::kAudioMatch) return std::hash<std::string>()(s.amId);
    return 0x5eed;
  }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_MEDIA_STREAM_H_
