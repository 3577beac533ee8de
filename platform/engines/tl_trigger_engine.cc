#include "platform/engines/tl_trigger_engine.h"

#include <limits>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

TLTrigger TLTrigger::fromCodeword(const TLCodewordEventParams& codeword) {
  return TLTrigger(kCodewordType, std::to_string(codeword.msg()), "codeword",
                   codeword.codewordDuration(), dateFromUnixMillis(codeword.systemTimeStamp()));
}

TLTrigger TLTrigger::fromAMSignal(const AMSignal& signal) {
  const auto& is = signal.__isset;
  return TLTrigger(kAudioMatchType, is.amId ? signal.amId : std::string(),
                   is.dbEntryName ? signal.dbEntryName : std::string(),
                   saturatingAdd(is.offset ? signal.offset : 0, is.duration ? signal.duration : 0),
                   dateFromUnixMillis(is.timeStamp ? signal.timeStamp : 0));
}

std::shared_ptr<TLTriggerEngine> TLTriggerEngine::sharedEngine() {
  // Never destroyed: bus threads may still deliver during exit.
  static auto* engine = new std::shared_ptr<TLTriggerEngine>(new TLTriggerEngine());
  return *engine;
}

TLTriggerEngine::TLTriggerEngine() : context_(this, {kMessageTypeId<AMSignal>}) {}

std::shared_ptr<TLEngineDelegate> TLTriggerEngine::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void TLTriggerEngine::setDelegate(std::shared_ptr<TLEngineDelegate> delegate) {
  // The delegate let go of is the app's: it ends after the lock is released.
  std::shared_ptr<TLEngineDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, std::move(delegate));
}

void TLTriggerEngine::setMessenger(std::shared_ptr<Messenger> messenger) {
  context_.setMessenger(std::move(messenger));
}

void TLTriggerEngine::processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                                         const std::string& /*processorName*/) {
  if (auto codeword = std::dynamic_pointer_cast<const TLCodewordEventParams>(event)) {
    notifyFullCodeword(*codeword);
  }
}

void TLTriggerEngine::onReceive(const TLThriftParams& message, const std::string& /*sender*/) {
  if (message.msgType() != kMessageTypeId<AMSignal>) return;
  std::unique_ptr<AMSignal> signal = message.newMessageOfType<AMSignal>();
  notifyAMEvent(signal.get());
}

void TLTriggerEngine::notifyFullCodeword(const TLCodewordEventParams& codeword) {
  if (codeword.msg() < 0) return;
  const std::shared_ptr<TLEngineDelegate> d = delegate();
  SafeDispatch dispatch = context_.safeDispatch();
  const TLTrigger trigger = TLTrigger::fromCodeword(codeword);
  if (auto receiver = std::dynamic_pointer_cast<TLTriggerReceivedDelegate>(d)) {
    dispatch.safeDispatchSyncOnMainQueue([&] { receiver->triggerReceived(trigger); }, kEngineName);
  }
  if (auto receiver = std::dynamic_pointer_cast<TLCodewordReceivedDelegate>(d)) {
    const int64_t msg = codeword.msg();
    const TLDate at = trigger.date();
    dispatch.safeDispatchSyncOnMainQueue([&] { receiver->codewordReceived(msg, at); }, kEngineName);
  }
}

void TLTriggerEngine::notifyAMEvent(const AMSignal* signal) {
  if (signal == nullptr) return;
  auto receiver = std::dynamic_pointer_cast<TLTriggerReceivedDelegate>(delegate());
  if (!receiver) {
    TLLogger::warnInMethod("-[TLTriggerEngine notifyAMEvent:]", __LINE__,
                           "AM event received but delegate does not implement selector "
                           "triggerReceived:");
    return;
  }
  const TLTrigger trigger = TLTrigger::fromAMSignal(*signal);
  context_.safeDispatch().safeDispatchSyncOnMainQueue([&] { receiver->triggerReceived(trigger); },
                                                     kEngineName);
}

}  // namespace tembrolexinplatform
