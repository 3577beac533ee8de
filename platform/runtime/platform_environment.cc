#include "platform/runtime/platform_environment.h"

#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <sstream>

#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/json_text.h"
#include "core/runtime/unique_fd.h"
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

constexpr const char* kDamagedSuffix = ".damaged";
constexpr const char* kLoad = "-[UserDefaults load]";

// What stands at the defaults file's path.
enum class DefaultsEntry {
  kMissing,
  kFile,        // a regular file
  kLinkToFile,  // a symbolic link (or a chain of them) to a regular file
  kOther,       // a pipe, a folder, a device, a link to anything else or to nothing
  kUnknown,     // cannot be looked at (a folder on the way may not be searched)
};

DefaultsEntry defaultsEntryAt(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? DefaultsEntry::kMissing : DefaultsEntry::kUnknown;
  }
  if (S_ISREG(st.st_mode)) return DefaultsEntry::kFile;
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    return DefaultsEntry::kLinkToFile;
  }
  return DefaultsEntry::kOther;
}

bool writeAll(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The whole regular file at `path` (through a link). Opened without
// blocking, so that a pipe put in its place meanwhile is neither waited for
// nor read.
bool readRegularFile(const std::string& path, std::string& text) {
  const tembrolexin::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// Puts `text` at `path`, found as `entry` (missing, a file or a link to
// one): a new file beside it, synced, renamed over it, so a crash leaves the
// old defaults or the new and a link is replaced, never written through (its
// target is left as it is). A file that may not be written stays as it is;
// in a folder where no new file can be made, a plain file is written in
// place, as it always was.
bool replaceDefaultsFile(const std::string& path, const std::string& text, DefaultsEntry entry) {
  struct stat st {};
  const bool known = entry != DefaultsEntry::kMissing && ::stat(path.c_str(), &st) == 0;
  if (entry == DefaultsEntry::kFile && ::access(path.c_str(), W_OK) != 0) return false;
  std::string temp;
  tembrolexin::Fd fd(tembrolexin::fileio::createTempBeside(path, temp));
  if (!fd.valid()) {
    if (entry != DefaultsEntry::kFile) return false;
    tembrolexin::Fd file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat now {};
    if (!file.valid() || ::fstat(file.get(), &now) != 0 || !S_ISREG(now.st_mode) ||
        ::ftruncate(file.get(), 0) != 0) {
      return false;
    }
    return writeAll(file.get(), text) && file.close();
  }
  // A link's target may be anyone's: the new file keeps its permission bits
  // but stays writable by its owner.
  const mode_t mode = static_cast<mode_t>(
      (st.st_mode & 07777) | (entry == DefaultsEntry::kLinkToFile ? S_IWUSR : 0));
  bool ok = writeAll(fd.get(), text);
  if (ok && known) ok = ::fchmod(fd.get(), mode) == 0;
  if (ok) ok = ::fsync(fd.get()) == 0;
  if (!fd.close()) ok = false;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
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
  keptInPlace_ = false;
  if (path_.empty() || !tembrolexin::fileio::isUsablePath(path_)) return;
  const DefaultsEntry entry = defaultsEntryAt(path_);
  if (entry == DefaultsEntry::kOther) {
    keptInPlace_ = !setAsideLocked(kLoad, "not a regular file", "starting empty");
    return;
  }
  // Missing, or a file that may not be read: an empty store, as before.
  if (entry == DefaultsEntry::kMissing || entry == DefaultsEntry::kUnknown) return;
  std::string text;
  if (!readRegularFile(path_, text)) return;
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
    keptInPlace_ = !setAsideLocked(kLoad, "not a JSON object", "starting empty");
    return;
  }
  root_ = std::move(parsed);
}

bool UserDefaults::setAsideLocked(const char* method, const char* what, const char* doing) const {
  const std::string aside = path_ + kDamagedSuffix;
  if (::rename(path_.c_str(), aside.c_str()) == 0) {
    TLLogger::errorInMethod(method, __LINE__,
                            "User defaults file %s is %s; %s (the file is now %s)", path_.c_str(),
                            what, doing, aside.c_str());
    return true;
  }
  const int error = errno;
  TLLogger::errorInMethod(method, __LINE__,
                          "User defaults file %s is %s; %s (it cannot be moved to %s: %s, so "
                          "nothing is written to it)",
                          path_.c_str(), what, doing, aside.c_str(),
                          tembrolexin::errorText(error).c_str());
  return false;
}

void UserDefaults::reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
}

bool UserDefaults::writeLocked() {
  if (path_.empty() || !tembrolexin::fileio::isUsablePath(path_)) return false;
  DefaultsEntry entry = defaultsEntryAt(path_);
  // Never written through: whatever is neither a file nor a link to one (it
  // may have taken the file's place since the load), and a file that was not
  // a JSON object and could not be moved aside then.
  const bool setAside =
      entry == DefaultsEntry::kOther || (keptInPlace_ && entry != DefaultsEntry::kMissing);
  if (setAside) {
    if (!setAsideLocked("-[UserDefaults synchronize]",
                        entry == DefaultsEntry::kOther ? "not a regular file" : "not a JSON object",
                        "writing the defaults anew")) {
      return false;
    }
    keptInPlace_ = false;
    entry = DefaultsEntry::kMissing;
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  return replaceDefaultsFile(path_, Json::writeString(builder, root_) + "\n", entry);
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

bool UserDefaults::hasValueForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return root_.find(key.data(), key.data() + key.size()) != nullptr;
}

}  // namespace tembrolexinplatform
