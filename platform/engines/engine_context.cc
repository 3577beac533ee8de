#include "platform/engines/engine_context.h"

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

EngineContext::EngineContext(IThriftMessageReceiver* receiver, std::vector<int32_t> types)
    : receiver_(receiver), types_(std::move(types)) {}

EngineContext::~EngineContext() { setMessenger(nullptr); }

void EngineContext::setMessenger(std::shared_ptr<Messenger> messenger) {
  std::lock_guard<std::mutex> switching(switchMutex_);
  std::shared_ptr<Messenger> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (messenger_ == messenger) return;
    old = messenger_;
    messenger_ = messenger;
  }
  if (receiver_ == nullptr) return;
  for (int32_t type : types_) {
    if (old) old->unregisterReceiver(receiver_, type);
    if (messenger) messenger->registerReceiver(receiver_, type);
  }
}

std::shared_ptr<Messenger> EngineContext::messenger() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messenger_;
}

void EngineContext::setDispatcher(Dispatcher* dispatcher) {
  std::lock_guard<std::mutex> lock(mutex_);
  dispatcher_ = dispatcher;
}

Dispatcher& EngineContext::dispatcher() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dispatcher_ != nullptr ? *dispatcher_ : Dispatcher::shared();
}

TLDate EngineContext::now() const {
  return TLDate(std::chrono::microseconds(dispatcher().clock().wallMicros()));
}

int64_t EngineContext::upTimeMillis() const { return dispatcher().clock().upTimeMillis(); }

bool EngineContext::setDecoder(std::weak_ptr<IEngineDecoder> decoder) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool same = !decoder_.owner_before(decoder) && !decoder.owner_before(decoder_);
  decoder_ = std::move(decoder);
  return !same;
}

std::shared_ptr<IEngineDecoder> EngineContext::decoder() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return decoder_.lock();
}

bool EngineContext::configure(const ConfigDictionary& configuration, const char* method) const {
  return withDecoder([&](IEngineDecoder& d) { d.configure(configuration); }, method);
}

bool EngineContext::withDecoder(const std::function<void(IEngineDecoder&)>& call,
                                const char* method) const {
  std::shared_ptr<IEngineDecoder> d = decoder();
  if (!d) {
    TLLogger::warnInMethod(method, __LINE__, "No decoder is connected: configuration not sent");
    return false;
  }
  call(*d);
  return true;
}

}  // namespace tembrolexinplatform
