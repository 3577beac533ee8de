#include "core/net/data_signer.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/message_factory.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {
namespace security {

namespace {
// Never destroyed (threads still running at exit may use them).
const std::string& kName = *new std::string("DataSigner");
constexpr int kRequestType = 14;
constexpr int kReplyType = 15;
}  // namespace

std::atomic<uint64_t> DataSigner::idCounter{0};

DataSigner::DataSigner(IMessenger* messenger) : messenger_(messenger) {
  if (messenger_ != nullptr) messenger_->registerListener(kReplyType, this);
}

DataSigner::~DataSigner() {
  if (messenger_ != nullptr) messenger_->unregisterListener(kReplyType, this);
}

const std::string& DataSigner::GetName() const { return kName; }

std::string DataSigner::requestId(uint64_t n) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%010llu", static_cast<unsigned long long>(n));
  return std::string("request_") + digits;
}

std::vector<unsigned char> DataSigner::hexToBytes(const std::string& text) {
  std::vector<unsigned char> bytes;
  bytes.reserve((text.size() + 1) / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::string pair = text.substr(i, 2);
    bytes.push_back(static_cast<unsigned char>(std::strtol(pair.c_str(), nullptr, 16) & 0xff));
  }
  return bytes;
}

void DataSigner::signData(std::string data, Callback onSigned) {
  if (data.empty()) {
    onSigned(Signature{});
    return;
  }
  const std::string id = requestId(idCounter.fetch_add(1));
  SignDataRequest request;
  request.dataId = id;
  request.data = std::move(data);
  {
    // Stored before sending, so the reply always finds its function.
    std::lock_guard lock(mutex_);
    callbacks_[id] = std::move(onSigned);
  }
  auto params = ThriftParamsFactory::createThriftParams(request);
  if (messenger_ != nullptr) messenger_->send(kName, std::move(params));
}

void DataSigner::onReceive(const std::string&, const ThriftParams& params) {
  if (params.getMsgType() != kReplyType) return;
  std::unique_ptr<SignedData> reply;
  try {
    reply = ThriftParamsFactory::readThriftParams<SignedData>(params);
  } catch (const std::exception&) {
    return;  // not a readable reply
  }
  if (!reply) return;
  Callback callback;
  {
    std::lock_guard lock(mutex_);
    auto it = callbacks_.find(reply->dataId);
    if (it == callbacks_.end()) return;
    callback = it->second;
  }
  Signature signature;
  signature.signatureText = reply->data;
  signature.md5Text = reply->dataMd5;
  signature.signature = hexToBytes(reply->data);
  signature.md5 = hexToBytes(reply->dataMd5);
  callback(signature);
}

}  // namespace security
}  // namespace tembrolexinsdk
