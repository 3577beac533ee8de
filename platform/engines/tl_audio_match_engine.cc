#include "platform/engines/tl_audio_match_engine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// AMDBSignal actions.
constexpr int32_t kRequest = 0;
constexpr int32_t kAdd = 1;
constexpr int32_t kRemove = 2;
constexpr int32_t kRequestList = 3;
constexpr int32_t kList = 4;
constexpr int32_t kAddComplete = 5;
constexpr int32_t kRemoveComplete = 6;

constexpr int32_t kPreferenceCopy = 0;

std::string lastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == "/") return path;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

AMDBSignal command(int32_t action, const std::string& path) {
  AMDBSignal signal;
  signal.__set_action(action);
  signal.__set_filepaths({path});
  signal.__set_preference(kPreferenceCopy);
  signal.__set_errorCode(0);
  signal.__set_errorDescription("");
  return signal;
}

// Whole milliseconds, toward zero, held at the 64-bit range; nothing for a
// value that is not a number.
std::optional<int64_t> millisFromSeconds(double seconds) {
  const double ms = seconds * 1000.0;
  if (std::isnan(ms)) return std::nullopt;
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (ms >= kTwoTo63) return std::numeric_limits<int64_t>::max();
  if (ms <= -kTwoTo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

}  // namespace

std::string TLAudioMatchDatabase::getFilename() const { return lastPathComponent(filepath_); }

std::shared_ptr<TLAudioMatchEngine> TLAudioMatchEngine::sharedEngine() {
  // Never destroyed: bus threads may still deliver during exit.
  static auto* engine = new std::shared_ptr<TLAudioMatchEngine>(new TLAudioMatchEngine());
  return *engine;
}

TLAudioMatchEngine::TLAudioMatchEngine() : context_(this, {kMessageTypeId<AMDBSignal>}) {}

std::shared_ptr<TLEngineDelegate> TLAudioMatchEngine::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void TLAudioMatchEngine::setDelegate(std::shared_ptr<TLEngineDelegate> delegate) {
  // The delegate let go of is the app's: it ends after the lock is released.
  std::shared_ptr<TLEngineDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, std::move(delegate));
}

void TLAudioMatchEngine::setEngineParameters(const TLEngineParameters& /*parameters*/) {
  if (context_.decoder()) sendScheme();
}

void TLAudioMatchEngine::setDecoder(std::weak_ptr<IEngineDecoder> decoder) {
  if (context_.setDecoder(std::move(decoder)) && context_.decoder()) sendScheme();
}

void TLAudioMatchEngine::sendScheme() {
  context_.configure({{"tembrolexin_Fingerprint_scheme", kScheme}},
                     "-[TLAudioMatchEngine setEngineParameters:]");
}

void TLAudioMatchEngine::send(const AMDBSignal& signal) {
  context_.sendMessage(signal, kEngineName, "-[TLAudioMatchEngine send:]");
}

TLAudioMatchDatabase TLAudioMatchEngine::addDatabase(const std::string& path) {
  TLAudioMatchDatabase database(path);
  const AMDBSignal add = command(kAdd, path);
  {
    // Held before it leaves, so neither a Request nor the confirmation can
    // come back before the engine knows of it. The context's lines reach the
    // log once the lock is released: the app's log delegate may call exit(),
    // and the bus thread, which the shutdown waits for, takes the lock.
    TLLogger::HeldLines lines;
    std::lock_guard lock(heldMutex_);
    previouslySentSignals_.push_back(add);
    send(add);
  }
  context_.configure({{"tembrolexin_Fingerprint_uselive", false}},
                     "-[TLAudioMatchEngine addDatabase:]");
  return database;
}

void TLAudioMatchEngine::removeDatabase(const TLAudioMatchDatabase& database) {
  send(command(kRemove, database.getFilename()));
}

void TLAudioMatchEngine::requestDatabaseList() {
  AMDBSignal signal;
  signal.__set_action(kRequestList);
  send(signal);
}

void TLAudioMatchEngine::useLiveDatabaseAtAddress(const std::string& url,
                                                  double pollingFrequencySeconds,
                                                  double liveWindowSeconds) {
  const std::optional<int64_t> refresh = millisFromSeconds(pollingFrequencySeconds);
  const std::optional<int64_t> window = millisFromSeconds(liveWindowSeconds);
  if (!refresh || !window) {
    TLLogger::errorInMethod(
        "-[TLAudioMatchEngine useLiveDatabaseAtAddress:PollingFrequency:LiveWindow:]", __LINE__,
        "The polling frequency and the live window must be numbers");
    return;
  }
  context_.configure({{"tembrolexin_Fingerprint_uselive", true},
                      {"tembrolexin_Fingerprint_dburl", url},
                      {"tembrolexin_Fingerprint_dbrefresh", *refresh},
                      {"tembrolexin_Fingerprint_liveWindow", *window}},
                     "-[TLAudioMatchEngine useLiveDatabaseAtAddress:PollingFrequency:LiveWindow:]");
}

std::size_t TLAudioMatchEngine::heldCommandCount() const {
  std::lock_guard lock(heldMutex_);
  return previouslySentSignals_.size();
}

void TLAudioMatchEngine::onReceive(const TLThriftParams& message, const std::string& /*sender*/) {
  std::unique_ptr<AMDBSignal> answer = message.newMessageOfType<AMDBSignal>();
  if (!answer || !answer->__isset.action) return;
  switch (answer->action) {
    case kRequest:
      resendHeldCommands();
      break;
    case kList:
      reportList(*answer);
      break;
    case kAddComplete:
      dropHeldCommand(kAdd, *answer);
      reportResult(*answer);
      break;
    case kRemoveComplete:
      dropHeldCommand(kRemove, *answer);
      reportResult(*answer);
      break;
    default:
      break;
  }
}

void TLAudioMatchEngine::resendHeldCommands() {
  TLLogger::HeldLines lines;  // see addDatabase
  std::lock_guard lock(heldMutex_);
  std::vector<AMDBSignal> held;
  held.swap(previouslySentSignals_);
  TLLogger::debugInMethod("-[TLAudioMatchEngine onReceive:sender:]", __LINE__,
                          "Requests sent before initialization of AM was complete: re-sending %lu "
                          "messages",
                          static_cast<unsigned long>(held.size()));
  for (const AMDBSignal& signal : held) send(signal);
}

void TLAudioMatchEngine::dropHeldCommand(int32_t heldAction, const AMDBSignal& answer) {
  if (!answer.__isset.filepaths || answer.filepaths.empty()) return;
  const std::string name = lastPathComponent(answer.filepaths.front());
  std::lock_guard lock(heldMutex_);
  auto& held = previouslySentSignals_;
  held.erase(std::remove_if(held.begin(), held.end(),
                            [&](const AMDBSignal& s) {
                              return s.action == heldAction && !s.filepaths.empty() &&
                                     lastPathComponent(s.filepaths.front()) == name;
                            }),
             held.end());
}

void TLAudioMatchEngine::reportResult(const AMDBSignal& answer) {
  if (!answer.__isset.filepaths || answer.filepaths.empty()) return;
  if (!answer.__isset.errorCode) return;
  const int32_t code = answer.errorCode;
  if (code < 0 || code > 4) return;
  auto receiver = std::dynamic_pointer_cast<TLAudioMatchEngineDelegate>(delegate());
  if (!receiver) return;
  const int action = answer.action == kAddComplete ? TLAudioMatchEngineDelegate::kActionAdd
                                                   : TLAudioMatchEngineDelegate::kActionRemove;
  TLAudioMatchDatabase database(answer.filepaths.front());
  std::string description = answer.__isset.errorDescription ? answer.errorDescription : "";
  context_.safeDispatch().dispatchOnMainQueue(
      [receiver, action, database, code, description] {
        if (code == 0) {
          receiver->onSuccessfulAction(action, database);
        } else {
          receiver->onFailedAction(action, database, code - 1, description);
        }
      },
      0);
}

void TLAudioMatchEngine::reportList(const AMDBSignal& answer) {
  auto receiver = std::dynamic_pointer_cast<TLAudioMatchEngineDelegate>(delegate());
  if (!receiver) return;
  std::vector<TLAudioMatchDatabase> databases;
  if (answer.__isset.filepaths) {
    for (const std::string& path : answer.filepaths) databases.emplace_back(path);
  }
  context_.safeDispatch().dispatchOnMainQueue(
      [receiver, databases] { receiver->onDatabaseListReceived(databases); }, 0);
}

}  // namespace tembrolexinplatform
