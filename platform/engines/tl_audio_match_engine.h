// TLAudioMatchEngine ("AUDIOMATCH"): lets the app manage the databases of
// the audio-match plug-in "tembrolexin_Fingerprint" -- add a database file,
// remove one, ask for the list, or switch to a live database polled from a
// server. Commands travel as AMDBSignal messages (bus type 22) sent under
// the engine's name; the live-database settings and the matching scheme
// travel as the plug-in's configuration keys through the decoder that
// connected the engine. Commands and settings given before a decoder
// connected wait for it and go out, in the order given, when it connects,
// before the scheme key (EngineContext).
//
// The plug-in may not be ready when the app adds a database. Every add
// command is therefore held from before it is sent until the plug-in
// confirms it (AddComplete for the same file name): the plug-in's Request
// (action 0), which it sends once when it is ready, makes the engine send
// every held command again, once.
//
// Results reach a delegate that derives from TLAudioMatchEngineDelegate,
// each call queued on the main queue (delay 0): AddComplete/RemoveComplete
// with errorCode 0 as onSuccessfulAction (action 0 add, 1 remove), with 1
// to 4 as onFailedAction (error = errorCode - 1), and List answers as
// onDatabaseListReceived. Answers without file paths, and other codes,
// report nothing.
//
// Thread safety: every operation may be called from any thread. Answers
// arrive on the bus thread. The held commands are guarded by one lock, held
// while they are queued for sending (sending never waits for the core), so
// an add and a resend never interleave; what is logged meanwhile reaches the
// log once it is released.
#ifndef TL_PLATFORM_ENGINES_TL_AUDIO_MATCH_ENGINE_H_
#define TL_PLATFORM_ENGINES_TL_AUDIO_MATCH_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/engine_context.h"
#include "platform/engines/tl_engine.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

// One database file. Immutable.
class TLAudioMatchDatabase {
 public:
  explicit TLAudioMatchDatabase(std::string filepath) : filepath_(std::move(filepath)) {}
  // The path's last component (trailing slashes ignored).
  std::string getFilename() const;
  const std::string& getFullPath() const { return filepath_; }

 private:
  std::string filepath_;
};

class TLAudioMatchEngineDelegate : public TLEngineDelegate {
 public:
  static constexpr int kActionAdd = 0;
  static constexpr int kActionRemove = 1;

  virtual void onSuccessfulAction(int action, const TLAudioMatchDatabase& database) = 0;
  // `error` is 0 to 3.
  virtual void onFailedAction(int action, const TLAudioMatchDatabase& database, int error,
                              const std::string& description) = 0;
  virtual void onDatabaseListReceived(const std::vector<TLAudioMatchDatabase>& databases) = 0;
};

class TLAudioMatchEngine final : public TLEngine, public IThriftMessageReceiver {
 public:
  static constexpr const char* kEngineName = "AUDIOMATCH";
  static constexpr int32_t kScheme = 22;

  // The one engine of the process, made on first use; never destroyed.
  static std::shared_ptr<TLAudioMatchEngine> sharedEngine();

  // Sends Add {[path], Copy, 0, ""} (held until confirmed), then configures
  // "tembrolexin_Fingerprint_uselive" NO.
  TLAudioMatchDatabase addDatabase(const std::string& path);
  // Sends Remove with the database's file name only; not held.
  void removeDatabase(const TLAudioMatchDatabase& database);
  // Sends RequestList (only the action set); not held.
  void requestDatabaseList();
  // Configures the live database: uselive YES, the URL, and the polling
  // period and live window in whole milliseconds. Values that are not
  // numbers are refused (Error logged, nothing sent).
  void useLiveDatabaseAtAddress(const std::string& url, double pollingFrequencySeconds,
                                double liveWindowSeconds);

  std::shared_ptr<TLEngineDelegate> delegate() const override;
  void setDelegate(std::shared_ptr<TLEngineDelegate> delegate) override;
  std::string engineName() const override { return kEngineName; }
  // Ignores the dictionary; configures "tembrolexin_Fingerprint_scheme" 22
  // when a decoder is connected.
  void setEngineParameters(const TLEngineParameters& parameters) override;
  // The decoder whose configure() carries the keys; a decoder the engine
  // did not have before gets the scheme key at once (on its first hand-out
  // the engine has none yet).
  void setDecoder(std::weak_ptr<IEngineDecoder> decoder) override;
  void processEventParams(std::shared_ptr<const TLProcessorEventParams>,
                          const std::string&) override {}
  // Registers for AMDBSignal (22) with the messenger, once per messenger.
  void setMessenger(std::shared_ptr<Messenger> messenger) override {
    context_.setMessenger(std::move(messenger));
  }

  // An AMDBSignal answer from the plug-in; the sender is not used.
  void onReceive(const TLThriftParams& message, const std::string& sender) override;

  // How many add commands wait for their confirmation.
  std::size_t heldCommandCount() const;

  // Test seam: the dispatcher whose main queue runs the delegate calls.
  void setDispatcher(Dispatcher* dispatcher) { context_.setDispatcher(dispatcher); }

 private:
  TLAudioMatchEngine();

  void send(const AMDBSignal& signal);
  void sendScheme();
  void resendHeldCommands();
  void dropHeldCommand(int32_t heldAction, const AMDBSignal& answer);
  void reportResult(const AMDBSignal& answer);
  void reportList(const AMDBSignal& answer);

  EngineContext context_;
  mutable tembrolexin::Mutex mutex_;  // the delegate
  std::shared_ptr<TLEngineDelegate> delegate_;
  mutable tembrolexin::Mutex heldMutex_;
  std::vector<AMDBSignal> previouslySentSignals_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_AUDIO_MATCH_ENGINE_H_
