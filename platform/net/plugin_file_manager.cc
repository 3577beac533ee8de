#include "platform/net/plugin_file_manager.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {
constexpr const char* kOutcomeMethod =
    "-[TLPluginFileManager requestComplete:params:responseCode:responseMessage:receivedData:serverTime:]";
}  // namespace

std::shared_ptr<TLPluginFileManager> TLPluginFileManager::initWithPluginName(
    const std::string& pluginName, std::shared_ptr<TLPluginFileManagerDelegate> delegate,
    Options options) {
  return std::make_shared<TLPluginFileManager>(Passkey{}, pluginName, std::move(delegate),
                                               std::move(options));
}

TLPluginFileManager::TLPluginFileManager(Passkey, const std::string& pluginName,
                                         std::shared_ptr<TLPluginFileManagerDelegate> delegate,
                                         Options options)
    : delegate_(std::move(delegate)),
      networkManager_(options.networkManager ? options.networkManager : TLNetworkManager::shared()),
      defaults_(options.defaults ? options.defaults : UserDefaults::standard()),
      keyStoreFolder_(std::move(options.keyStoreFolder)),
      pluginName_(pluginName),
      sequenceKey_(pluginName + UserDefaults::kSequenceNumberSuffix) {
  int64_t stored = defaults_->integerForKey(sequenceKey_).value_or(0);
  nextSequence_ = stored == 0 ? 1 : stored;
  TLLogger::debugInMethod("-[TLPluginFileManager initWithPluginName:delegate:]", __LINE__,
                          "Next sequence number will be %i", static_cast<int>(nextSequence_));
}

std::string TLPluginFileManager::NSDataToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0f];
  }
  return hex;
}

std::string TLPluginFileManager::sideFilePath(const std::string& filePath) {
  std::size_t slash = filePath.find_last_of('/');
  std::size_t dot = filePath.find_last_of('.');
  std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  // A leading dot starts a hidden name, not an extension.
  if (dot == std::string::npos || dot <= nameStart) return filePath + "md5";
  return filePath.substr(0, dot + 1) + "md5";
}

std::string TLPluginFileManager::pluginChecksum(const std::string& filePath,
                                                const std::string& checkData) const {
  std::string hex = NSDataToHex(checkData);
  if (!hex.empty()) return hex;
  std::optional<std::string> side = readFileBytes(sideFilePath(filePath));
  if (!side) return "ffff";
  if (side->size() >= 17) return *side;
  return NSDataToHex(*side);
}

void TLPluginFileManager::uploadFiles(const CheckedFilePreparedEventSignal& message) {
  constexpr const char* kMethod = "-[TLPluginFileManager uploadFiles:]";
  const std::string plugin = pluginName();
  const auto& files = message.mPathsToPreparedFilesWithChecks;
  if (files.empty()) {
    TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring upload for plugin %s, no files were prepared",
                            plugin.c_str());
    return;
  }
  const int32_t deviceId = delegate_ ? delegate_->deviceId() : -1;
  if (deviceId < 0) {
    TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring upload for plugin %s, no device id", plugin.c_str());
    return;
  }
  FormParams base{{"tl_enduser_id", std::to_string(deviceId)},
                  {"tl_upload_ts", std::string()},
                  {"tl_upload_origin", plugin}};
  const std::string fileField = TLNetworkManager::uploadPostParamForPlugin(plugin).value_or(std::string());
  std::shared_ptr<SecurityKeys> keys;

  // The message's numbers, taken at once from the counter in the defaults
  // file, which other managers of the plug-in (in this process or another)
  // take from too.
  const auto count = static_cast<int64_t>(files.size());
  int64_t sequence = defaults_->takeNumbers(sequenceNumberKey(), count);
  {
    std::lock_guard lock(mutex_);
    nextSequence_ = sequence + count;
  }
  for (const auto& [path, checkData] : files) {
    TLUploadFile file(path, sequence);
    std::string pluginHash = pluginChecksum(path, checkData);
    std::string md5 = "(null)";
    std::string signature = "(null)";
    if (std::optional<std::string> bytes = readFileBytes(path)) {
      md5 = DataSigner::generateCheckSumFromData(*bytes);
      if (!keys) keys = keyStoreFolder_.empty() ? DataSigner::getKeys() : DataSigner::getKeys(keyStoreFolder_);
      signature = DataSigner::signData(*bytes, *keys).value_or("(null)");
    }
    TLLogger::debugInMethod(kMethod, __LINE__, "Framework calculated (md5)checksum %s", md5.c_str());
    TLLogger::debugInMethod(kMethod, __LINE__, "Plugin calculated (md5)checksum %s", pluginHash.c_str());
    TLLogger::debugInMethod(kMethod, __LINE__, "Plugin sha1 contents signatureBasse64: %s", signature.c_str());

    FormParams params = base;
    // A plug-in without an upload path has no file field; the network
    // manager refuses its uploads.
    if (!fileField.empty()) params.set(fileField, file);
    params.set("tl_upload_seq", std::to_string(sequence));
    params.set("tl_upload_hash", pluginHash);
    params.set("tl_framework_hash", md5);
    params.set("tl_upload_signature", signature);
    networkManager_->requestUpload(plugin, params, weak_from_this());
    ++sequence;
  }
}

bool TLPluginFileManager::isUploading() const {
  return networkManager_->uploadRequestsForPlugin(pluginName()) > 0;
}

void TLPluginFileManager::requestComplete(const std::string&, const FormParams& params, int32_t responseCode,
                                          const std::string&, const std::string&, const std::string&) {
  handleOutcome(params, responseCode, true);
}

void TLPluginFileManager::requestFailed(const std::string&, const FormParams& params, int32_t responseCode,
                                        const std::string&, const std::string&, const std::string&) {
  handleOutcome(params, responseCode, false);
}

void TLPluginFileManager::handleOutcome(const FormParams& params, int32_t responseCode, bool final) {
  TLLogger::debugInMethod(kOutcomeMethod, __LINE__, "Entry");
  std::optional<std::string> field = TLNetworkManager::uploadPostParamForPlugin(pluginName());
  const FormValue* value = field ? params.get(*field) : nullptr;
  const TLUploadFile* file = value ? std::get_if<TLUploadFile>(value) : nullptr;
  if (!file) return;
  TLLogger::debugInMethod(kOutcomeMethod, __LINE__, "Upload for file %s returned response %d",
                          file->name().c_str(), responseCode);
  // A failed attempt is retried with the same file, so only a final answer
  // may delete it.
  if (!final) return;
  if (responseCode == 200) {
    TLLogger::debugInMethod(kOutcomeMethod, __LINE__, "Upload complete for file %s", file->name().c_str());
  } else if (responseCode == 400) {
    TLLogger::debugInMethod(kOutcomeMethod, __LINE__, "Upload failed for file %s", file->name().c_str());
    const FormValue* rule = params.get("deleteAfterMaxUploadAttempts");
    const bool* deleteAfter = rule ? std::get_if<bool>(rule) : nullptr;
    if (deleteAfter && !*deleteAfter) return;
  } else {
    return;
  }
  removeFile(file->fullPath(), file->name());
  std::string side = sideFilePath(file->fullPath());
  struct stat st {};
  if (::stat(side.c_str(), &st) == 0) removeFile(side, side);
}

void TLPluginFileManager::removeFile(const std::string& path, const std::string& label) const {
  if (std::remove(path.c_str()) == 0) {
    TLLogger::debugInMethod(kOutcomeMethod, __LINE__, "Removed file %s successfully", label.c_str());
  } else {
    TLLogger::errorInMethod(kOutcomeMethod, __LINE__, "Failed to remove file: %s", label.c_str());
  }
}

std::string TLPluginFileManager::pluginName() const {
  std::lock_guard lock(mutex_);
  return pluginName_;
}

void TLPluginFileManager::setPluginName(const std::string& name) {
  std::lock_guard lock(mutex_);
  pluginName_ = name;
}

std::string TLPluginFileManager::sequenceNumberKey() const {
  std::lock_guard lock(mutex_);
  return sequenceKey_;
}

int64_t TLPluginFileManager::nextSequenceNumber() const {
  std::lock_guard lock(mutex_);
  return nextSequence_;
}

}  // namespace tembrolexinplatform
