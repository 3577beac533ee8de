#include "platform/runtime/platform_environment.h"

#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string_view>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/json_text.h"
#include "core/runtime/unique_fd.h"
#include "platform/runtime/exclusive_file_lock.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

tembrolexin::Mutex& environmentMutex() {
  static auto* mutex = new tembrolexin::Mutex();
  return *mutex;
}

PlatformEnvironment& environment() {
  static auto* env = new PlatformEnvironment();
  return *env;
}

constexpr const char* kDamagedSuffix = ".damaged";
constexpr const char* kLoad = "-[UserDefaults load]";
constexpr const char* kSynchronize = "-[UserDefaults synchronize]";

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

// The most a defaults file may hold. The bound leaves an app's own values
// ample room and keeps a file that grew without limit (or a sparse one) from
// being read whole at every start.
constexpr std::size_t kMaxDefaultsBytes = std::size_t{16} << 20;

// The bytes one more entry takes in the indented file, for a key of
// `keyChars` characters and a value written in `valueChars`:
// `  "<key>" : <value>` and the ",\n" between it and its neighbour (an empty
// object, "{}", grows by as much).
constexpr std::size_t entryBytes(std::size_t keyChars, std::size_t valueChars) {
  return 2 + (keyChars + 2) + 3 + valueChars + 2;
}

// The library's own values at their largest: the identity at 64 characters
// and its quotes, each reserved sequence number at 20
// ("-9223372036854775808").
constexpr std::size_t reservedBytes() {
  const std::size_t suffix = std::string_view(UserDefaults::kSequenceNumberSuffix).size();
  std::size_t bytes = entryBytes(std::string_view(UserDefaults::kIdentityKey).size(),
                                 UserDefaults::kMaxIdentityBytes + 2);
  for (std::string_view plugin : UserDefaults::kReservedSequencePlugins) {
    bytes += entryBytes(plugin.size() + suffix, 20);
  }
  return bytes;
}
static_assert(UserDefaults::kReservedBytes == reservedBytes(),
              "the reserve stated in the header is not what the library's own keys take");
constexpr std::size_t kAppDefaultsBytes = kMaxDefaultsBytes - UserDefaults::kReservedBytes;
constexpr const char* kTooLarge = "larger than 16 MiB";
constexpr const char* kNotRegular = "not a regular file";
constexpr const char* kNotObject = "not a JSON object";

Json::StreamWriterBuilder defaultsWriter() {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  return builder;
}

// The text of the defaults file that holds `root`.
std::string defaultsText(const Json::Value& root) {
  return Json::writeString(defaultsWriter(), root) + "\n";
}

// Counts what is written to it and keeps none of it.
class CountingBuffer : public std::streambuf {
 public:
  std::size_t count() const { return count_; }

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) ++count_;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    count_ += static_cast<std::size_t>(n);
    return n;
  }

 private:
  std::size_t count_ = 0;
};

// defaultsText(root).size(), without holding the text.
std::size_t defaultsTextSize(const Json::Value& root) {
  CountingBuffer counter;
  std::ostream out(&counter);
  const std::unique_ptr<Json::StreamWriter> writer(defaultsWriter().newStreamWriter());
  writer->write(root, &out);
  return counter.count() + 1;
}

// Whether `value` under `key` is one of the library's own values, which the
// reserve keeps room for: only those it was sized for. Any other key, even
// one ending as a sequence number's, is the app's, or the app's integers
// there would take the identity's room.
bool isOwnValue(const std::string& key, const Json::Value& value) {
  if (key == UserDefaults::kIdentityKey) {
    const char* begin = nullptr;
    const char* end = nullptr;
    return value.getString(&begin, &end) &&
           static_cast<std::size_t>(end - begin) <= UserDefaults::kMaxIdentityBytes;
  }
  if (value.type() != Json::intValue && value.type() != Json::uintValue) return false;
  const std::string_view suffix = UserDefaults::kSequenceNumberSuffix;
  const std::string_view name(key);
  if (!name.ends_with(suffix)) return false;
  const std::string_view plugin = name.substr(0, name.size() - suffix.size());
  for (std::string_view reserved : UserDefaults::kReservedSequencePlugins) {
    if (plugin == reserved) return true;
  }
  return false;
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
    return tembrolexin::fileio::writeAll(file.get(), text) && file.close();
  }
  // A link's target may be anyone's: the new file keeps its permission bits
  // but stays writable by its owner.
  const mode_t mode = static_cast<mode_t>(
      (st.st_mode & 07777) | (entry == DefaultsEntry::kLinkToFile ? S_IWUSR : 0));
  bool ok = tembrolexin::fileio::writeAll(fd.get(), text);
  if (ok && known) ok = ::fchmod(fd.get(), mode) == 0;
  if (ok) ok = ::fsync(fd.get()) == 0;
  if (!fd.close()) ok = false;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

void PlatformEnvironment::install(PlatformEnvironment env) {
  std::lock_guard lock(environmentMutex());
  environment() = std::move(env);
}

PlatformEnvironment PlatformEnvironment::current() {
  std::lock_guard lock(environmentMutex());
  return environment();
}


namespace {

std::optional<UserDefaults::FileStamp> stampOf(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  return UserDefaults::FileStamp{st.st_dev,          st.st_ino,          st.st_size,
                                 st.st_mtim.tv_sec,  st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                                 st.st_ctim.tv_nsec};
}

}  // namespace

std::optional<UserDefaults::FileStamp> UserDefaults::fileStamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return stampOf(st);
}

void UserDefaults::knowFileLocked(const std::optional<FileStamp>& expected) {
  // Held open, the file's inode cannot be taken by another file meanwhile,
  // so a path that leads to it (as it was) leads to what is in memory.
  tembrolexin::Fd fd(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  std::optional<FileStamp> stamp;
  if (fd.valid() && ::fstat(fd.get(), &st) == 0) stamp = stampOf(st);
  if (!stamp || (expected && stamp != expected)) {
    forgetFileLocked();
    return;
  }
  knownFile_ = std::move(fd);
  knownStamp_ = stamp;
}

void UserDefaults::forgetFileLocked() {
  knownFile_ = tembrolexin::Fd();
  knownStamp_.reset();
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
  // Here and below, what the load or the write logs reaches the log once the
  // lock is released: the app's log delegate may call exit(), and the
  // library's threads that the shutdown waits for (the bus thread, making a
  // plug-in's file manager) take it.
  TLLogger::HeldLines held;
  std::lock_guard lock(mutex_);
  loadLocked();
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  static auto* mutex = new tembrolexin::Mutex();
  static auto* current = new std::shared_ptr<UserDefaults>();
  const std::string path = PlatformEnvironment::current().userDefaultsFile;
  TLLogger::HeldLines held;
  std::lock_guard lock(*mutex);
  if (!*current || (*current)->path() != path) *current = std::make_shared<UserDefaults>(path);
  return *current;
}

bool UserDefaults::loadLocked() {
  root_ = Json::Value(Json::objectValue);
  keptInPlaceAs_ = nullptr;
  forgetFileLocked();
  if (path_.empty() || !tembrolexin::fileio::isUsablePath(path_)) return false;
  const DefaultsEntry entry = defaultsEntryAt(path_);
  if (entry == DefaultsEntry::kOther) {
    setAsideOnLoadLocked(kNotRegular);
    return true;
  }
  if (entry == DefaultsEntry::kMissing) return true;
  // A file that may not be read: an empty store, as before.
  if (entry == DefaultsEntry::kUnknown) return false;
  std::string text;
  const std::optional<FileStamp> before = fileStamp(path_);
  // Opened without blocking, so that a pipe put in its place meanwhile is
  // neither waited for nor read.
  switch (tembrolexin::fileio::readRegularFile(path_, kMaxDefaultsBytes, text)) {
    case tembrolexin::fileio::ReadResult::kRead:
      break;
    case tembrolexin::fileio::ReadResult::kTooLarge:
      setAsideOnLoadLocked(kTooLarge);
      return true;
    case tembrolexin::fileio::ReadResult::kNotRegular:
      setAsideOnLoadLocked(kNotRegular);
      return true;
    case tembrolexin::fileio::ReadResult::kMissing:  // gone meanwhile
      return true;
    default:  // may not be read: an empty store, as before
      return false;
  }
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
    setAsideOnLoadLocked(kNotObject);
    return true;
  }
  root_ = std::move(parsed);
  // The file read is the one the path led to before the read, unchanged.
  if (before) knowFileLocked(before);
  return true;
}

void UserDefaults::refreshLocked() {
  // What the load found damaged and could not move aside stays as it is
  // until the write can move it (writeLocked).
  if (keptInPlaceAs_ != nullptr) return;
  // Still the file this object last read or wrote: what is in memory is
  // what it holds, and reading it again (up to 16 MiB) would only cost.
  // (Its text may be past the bound, as a change that made it no larger
  // wrote it, and would be set aside if read.)
  if (knownStamp_ && fileStamp(path_) == knownStamp_) return;
  Json::Value inMemory;
  inMemory.swap(root_);
  if (!loadLocked()) {
    // Not read (it may not be, or there is no file to read): what is in
    // memory is all there is.
    root_.swap(inMemory);
    return;
  }
  for (const auto& [key, value] : pending_) {
    if (value) {
      *root_.demand(key.data(), key.data() + key.size()) = *value;
    } else {
      root_.removeMember(key);
    }
  }
}

void UserDefaults::setAsideOnLoadLocked(const char* what) {
  keptInPlaceAs_ = setAsideLocked(kLoad, what, "starting empty") ? nullptr : what;
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
  TLLogger::HeldLines held;
  std::lock_guard lock(mutex_);
  loadLocked();
}

bool UserDefaults::writeLocked(const std::string& text) {
  // The values in memory are the file's again only once it is written.
  forgetFileLocked();
  if (path_.empty() || !tembrolexin::fileio::isUsablePath(path_)) return false;
  DefaultsEntry entry = defaultsEntryAt(path_);
  // Never written through: whatever is neither a file nor a link to one (it
  // may have taken the file's place since the load), and what the load found
  // damaged and could not move aside then.
  const bool setAside = entry == DefaultsEntry::kOther ||
                        (keptInPlaceAs_ != nullptr && entry != DefaultsEntry::kMissing);
  if (setAside) {
    if (!setAsideLocked(kSynchronize,
                        entry == DefaultsEntry::kOther ? kNotRegular : keptInPlaceAs_,
                        "writing the defaults anew")) {
      return false;
    }
    keptInPlaceAs_ = nullptr;
    entry = DefaultsEntry::kMissing;
  }
  if (!replaceDefaultsFile(path_, text, entry)) return false;
  // Under the file's lock no other change replaces it meanwhile.
  knowFileLocked(std::nullopt);
  return true;
}

void UserDefaults::exchangeLocked(const std::string& key, Json::Value& value, bool& present) {
  const char* begin = key.data();
  const char* end = begin + key.size();
  const bool had = root_.find(begin, end) != nullptr;
  if (present) {
    root_.demand(begin, end)->swap(value);
  } else if (had) {
    root_.removeMember(begin, end, &value);
  }
  present = had;
}

bool UserDefaults::changeLocked(const std::string& key, Json::Value value, bool present) {
  // The library's own values may fill the file; any other leaves them room
  // at their largest, so the identity is kept whatever the app stored.
  const bool own = present && isOwnValue(key, value);
  exchangeLocked(key, value, present);
  const std::string text = defaultsText(root_);
  // A file past the bound would be set aside at the next load, taking every
  // value with it. A change that would make it so is undone, so the values
  // stay those on the disk and every later change that fits is written; one
  // that makes the text no larger (a text read from elsewhere may be past
  // the bound once written as ours) is never refused for its size.
  if (text.size() > (own ? kMaxDefaultsBytes : kAppDefaultsBytes)) {
    exchangeLocked(key, value, present);
    if (text.size() > defaultsTextSize(root_)) {
      const std::string bound =
          own ? std::string("16 MiB it may hold")
              : std::to_string(kAppDefaultsBytes) + " it may hold beside the " +
                    std::to_string(kReservedBytes) + " kept for the library's own values";
      TLLogger::errorInMethod(kSynchronize, __LINE__,
                              "User defaults file %s is not written: it would be %zu bytes, more "
                              "than the %s; the change is refused and the values stay as they were",
                              path_.c_str(), text.size(), bound.c_str());
      return false;
    }
    exchangeLocked(key, value, present);
  }
  if (writeLocked(text)) {
    pending_.clear();
    return true;
  }
  // Kept in memory, and written with the next change that is.
  const Json::Value* now = root_.find(key.data(), key.data() + key.size());
  pending_[key] = now != nullptr ? std::optional<Json::Value>(*now) : std::nullopt;
  return false;
}

bool UserDefaults::change(const std::string& key,
                          const std::function<Change(const Json::Value* stored)>& decide) {
  TLLogger::HeldLines held;
  std::lock_guard lock(mutex_);
  // One process at a time reads the file, changes it and writes it whole,
  // so no change undoes another's.
  std::optional<ExclusiveFileLock> across;
  if (!path_.empty() && tembrolexin::fileio::isUsablePath(path_)) {
    across.emplace(path_, kSynchronize, "User defaults file " + path_,
                   "it is written without it", !lockWarned_);
    if (across->unavailable()) lockWarned_ = true;
  }
  refreshLocked();
  Change decided = decide(root_.find(key.data(), key.data() + key.size()));
  if (changeHook_) changeHook_();
  if (decided.kind == Change::kKeep) return true;
  return changeLocked(key, std::move(decided.value), decided.kind == Change::kSet);
}

bool UserDefaults::setValue(const std::string& key, Json::Value value) {
  return change(key, [&value](const Json::Value*) {
    return Change{Change::kSet, std::move(value)};
  });
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
  return change(key, [](const Json::Value*) { return Change{Change::kRemove, Json::Value()}; });
}

UserDefaults::Claimed UserDefaults::claimString(
    const std::string& key, const std::string& candidate,
    const std::function<std::string(const Json::Value& stored)>& fault) {
  Claimed claimed;
  claimed.written = change(key, [&](const Json::Value* stored) {
    if (stored != nullptr) {
      claimed.fault = fault(*stored);
      if (claimed.fault.empty() && stored->isString()) {
        claimed.value = stored->asString();
        return Change{Change::kKeep, Json::Value()};
      }
    }
    claimed.value = candidate;
    claimed.made = true;
    return Change{Change::kSet, Json::Value(candidate)};
  });
  return claimed;
}

int64_t UserDefaults::takeNumbers(const std::string& key, int64_t count) {
  int64_t first = 1;
  change(key, [&](const Json::Value* stored) {
    if (stored != nullptr && stored->isInt64() && !stored->isBool()) first = stored->asInt64();
    // None stored counts from 1, and so does a counter at the end of the
    // range (it cannot have come from this counting).
    if (first == 0 || first > std::numeric_limits<int64_t>::max() - count) first = 1;
    return Change{Change::kSet, Json::Value(static_cast<Json::Int64>(first + count))};
  });
  return first;
}

void UserDefaults::setChangeHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  changeHook_ = std::move(hook);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const Json::Value* v = root_.find(key.data(), key.data() + key.size());
  if (!v || !v->isString()) return std::nullopt;
  return v->asString();
}

std::optional<int64_t> UserDefaults::integerForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const Json::Value* v = root_.find(key.data(), key.data() + key.size());
  if (!v || !v->isInt64() || v->isBool()) return std::nullopt;
  // A double that happens to be whole reads as an integer too, like a number
  // object would.
  return static_cast<int64_t>(v->asInt64());
}

std::optional<bool> UserDefaults::boolForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const Json::Value* v = root_.find(key.data(), key.data() + key.size());
  if (!v || !v->isBool()) return std::nullopt;
  return v->asBool();
}

std::optional<double> UserDefaults::doubleForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const Json::Value* v = root_.find(key.data(), key.data() + key.size());
  if (!v || !v->isNumeric() || v->isBool()) return std::nullopt;
  return v->asDouble();
}

bool UserDefaults::hasValueForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  return root_.find(key.data(), key.data() + key.size()) != nullptr;
}

}  // namespace tembrolexinplatform
