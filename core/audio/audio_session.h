// IAudioSession: the device-wide audio session under which the platform
// recorder captures: its category, its activation, the user's record
// permission and the interruptions (a phone call, another app taking the
// audio) that pause and resume capture.
//
// LocalAudioSession is the session of a system without one (Linux): every
// call succeeds and the permission is granted unless told otherwise, and
// interruptions happen only when someone posts one (the platform layer, or
// a test). Tests set the answers.
//
// Thread safety: every operation may be called from any thread. Observers run
// on the thread that posts the interruption, without the session's mutex
// held; removeInterruptionObserver returns only when that observer is not
// running (so must not be called from inside that observer's own call).
#ifndef TL_CORE_AUDIO_AUDIO_SESSION_H_
#define TL_CORE_AUDIO_AUDIO_SESSION_H_

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

class IAudioSession {
 public:
  // Interruption types: 1 an interruption began; anything else, it ended.
  static constexpr int kInterruptionBegan = 1;
  static constexpr int kInterruptionEnded = 0;
  // Play and record, mixing with others, default to the speaker, Bluetooth
  // A2DP allowed.
  static constexpr unsigned kPlayAndRecordOptions = 41;

  using InterruptionObserver = std::function<void(int type)>;
  using PermissionAnswer = std::function<void(bool granted)>;

  virtual ~IAudioSession() = default;
  // True on success.
  virtual bool setCategoryPlayAndRecord(unsigned options) = 0;
  virtual bool setActive(bool active) = 0;
  // Whether the session asks the user for record permission at all.
  virtual bool canRequestRecordPermission() const = 0;
  // Asks for record permission; `answer` runs exactly once, possibly later
  // and on another thread.
  virtual void requestRecordPermission(PermissionAnswer answer) = 0;
  // Returns a token for removeInterruptionObserver.
  virtual int addInterruptionObserver(InterruptionObserver observer) = 0;
  virtual void removeInterruptionObserver(int token) = 0;
};

class LocalAudioSession : public IAudioSession {
 public:
  LocalAudioSession() = default;

  bool setCategoryPlayAndRecord(unsigned options) override;
  bool setActive(bool active) override;
  bool canRequestRecordPermission() const override;
  void requestRecordPermission(PermissionAnswer answer) override;
  int addInterruptionObserver(InterruptionObserver observer) override;
  void removeInterruptionObserver(int token) override;

  // Answers of later calls.
  void setCategoryResult(bool ok);
  void setActivationResult(bool active, bool ok);
  // Whether permission is asked at all (true by default), and the answer:
  // granted (the default), refused, or nullopt to keep requests pending
  // until answerPendingPermission().
  void setPermission(bool asks, std::optional<bool> granted);
  // Answers the pending requests on the calling thread; returns how many.
  int answerPendingPermission(bool granted);

  // Runs every observer with `type` on the calling thread.
  void postInterruption(int type);
  int observerCount() const;
  // Calls so far: "category 41", "active 1", "active 0", "permission".
  std::vector<std::string> calls() const;

 private:
  struct Observer {
    int token;
    std::shared_ptr<tembrolexin::Mutex> running;
    InterruptionObserver observer;
  };

  mutable tembrolexin::Mutex mutex_;
  bool categoryOk_ = true;
  bool activateOk_ = true;
  bool deactivateOk_ = true;
  bool asks_ = true;
  std::optional<bool> granted_ = true;
  std::vector<PermissionAnswer> pending_;
  std::vector<Observer> observers_;
  int nextToken_ = 1;
  std::vector<std::string> calls_;
};

// The process's audio session, shared by every platform recorder; created on
// first use and never destroyed.
std::shared_ptr<LocalAudioSession> platformAudioSession();

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_AUDIO_SESSION_H_
