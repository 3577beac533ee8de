#include "platform/runtime/platform_environment.h"

#include <json/reader.h>
#include <json/writer.h>

#include <sstream>

#include "core/runtime/file_info.h"
#include "core/runtime/json_text.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

std::mutex& environmentMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

PlatformEnvironment& environment() {
  static auto* env = new PlatformEnvironment();
  return *env;
}

}  // namespace

void PlatformEnvironment::install(PlatformEnvironment env) {
  std::lock_guard<std::mutex> lock(environmentMutex());
  environment() = std::move(env);
}

PlatformEnvironment PlatformEnvironment::current() {
  std::lock_guard<std::mutex> lock(environmentMutex());
  return environment();
}


UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  static auto* mutex = new std::mutex();
  static auto* current = new std::shared_ptr<UserDefaults>();
  const std::string path = PlatformEnvironment::current().userDefaultsFile;
  std::lock_guard<std::mutex> lock(*mutex);
  if (!*current || (*current)->path() != path) *current = std::make_shared<UserDefaults>(path);
  return *current;
}

void UserDefaults::loadLocked() {
  root_ = Json::Value(Json::objectValue);
  tembrolexin::FileInfo file(path_);
  if (path_.empty() || !file.exists()) return;
  const std::string text = file.contents();
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value parsed;
  std::string errors;
  const tembrolexinsdk::LocaleFreeJson prepared(text);
  const std::string& json = prepared.text();
  bool read = false;
  try {
    read = reader->parse(json.data(), json.data() + json.size(), &parsed, &errors);
  } catch (const Json::Exception&) {
    // Nesting beyond the reader's depth limit: as broken as any other text.
  }
  if (!read || !parsed.isObject() || !prepared.restore(parsed)) {
    TLLogger::errorInMethod("-[UserDefaults load]", __LINE__,
                            "User defaults file %s is not a JSON object; starting empty", path_.c_str());
    return;
  }
  root_ = std::move(parsed);
}

void UserDefaults::reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
}

bool UserDefaults::writeLocked() const {
  if (path_.empty()) return false;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  return tembrolexin::FileInfo(path_).replaceContents(Json::writeString(builder, root_) + "\n");
}

bool UserDefaults::setValue(const std::string& key, Json::Value value) {
  std::lock_guard<std::mutex> lock(mutex_);
  root_[key] = std::move(value);
  return writeLocked();
}

bool UserDefaults::setString(const std::string& key, const std::string& value) {
  return setValue(key, Json::Value(value));
}
bool UserDefaults::setInteger(const std::string& key, int64_t value) {
  return setValue(key, Json::Value(static_cast<Json::Int64>(value)));
}
bool UserDefaults::setBool(const std::string& key, bool value) { return setValue(key, Json::Value(value)); }
bool UserDefaults::setDouble(const std::string& key, double value) {
  return setValue(key, Json::Value(value));
}

bool UserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  root_.removeMember(key);
  return writeLocked();
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Json::Value* v = root_.find(key.data(), key.data() + key.size());
  if (!v || !v->isString()) return std::nullopt;
  return v->asString();
}

std::optional<int64_t> UserDefaults::integerForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Json::Value* v = root_.find(key.data(), key.data() + key.size());
  if (!v || !v->isInt64() || v->isBool()) return std::nullopt;
  // A double that happens to be whole reads as an integer too, like a number
  // object would.
  return static_cast<int64_t>(v->asInt64());
}

std::optional<bool> UserDefaults::boolForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Json::Value* v = root_.find(key.data(), key.data() + key.size());
  if (!v || !v->isBool()) return std::nullopt;
  return v->asBool();
}

std::optional<double> UserDefaults::doubleForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Json::Value* v = root_.find(key.data(), key.data() + key.size());
  if (!v || !v->isNumeric() || v->isBool()) return std::nullopt;
  return v->asDouble();
}

}  // namespace tembrolexinplatform
