// What the platform layer needs to know about the app and the device, which
// the app fills in before it creates the decoder, and the app's user
// defaults, kept as a JSON file.
//
// PlatformEnvironment: install() replaces the process-wide values, current()
// returns a copy; both may be called from any thread.
//
// UserDefaults: a key-value store of texts, integers, booleans and doubles in
// one JSON object file. Every change is written at once, atomically (a
// temporary file renamed over the old one), so a crash never leaves half a
// file and nothing set is lost. A missing file is an empty store; a file that
// is not a JSON object is logged at Error and treated as empty (it is
// replaced on the next change). Thread-safe: one lock per object; two objects
// on the same file do not see each other's changes until they reload.
#ifndef TL_PLATFORM_RUNTIME_PLATFORM_ENVIRONMENT_H_
#define TL_PLATFORM_RUNTIME_PLATFORM_ENVIRONMENT_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <json/value.h>

namespace tembrolexinplatform {

struct PlatformEnvironment {
  std::string documentsFolder;   // the app's documents folder
  std::string bundleIdentifier;  // reverse-DNS identifier of the app
  std::string appVersion;
  std::string locale;            // e.g. "en_GB"
  std::string keyStoreFolder;    // where keys are kept
  std::string userDefaultsFile;  // the JSON file of UserDefaults::standard()
  std::string resourceFolder;    // the app's own read-only resource files

  static void install(PlatformEnvironment environment);
  static PlatformEnvironment current();
};

class UserDefaults {
 public:
  // Loads `path` now.
  explicit UserDefaults(std::string path);

  // The defaults of the installed environment's userDefaultsFile; a new
  // object when that path changed since the last call.
  static std::shared_ptr<UserDefaults> standard();

  // The value under `key` when it holds that kind; integers are 64-bit.
  std::optional<std::string> stringForKey(const std::string& key) const;
  std::optional<int64_t> integerForKey(const std::string& key) const;
  std::optional<bool> boolForKey(const std::string& key) const;
  std::optional<double> doubleForKey(const std::string& key) const;

  // Each stores and writes the file; false when the file could not be
  // written (the value is kept in memory all the same).
  bool setString(const std::string& key, const std::string& value);
  bool setInteger(const std::string& key, int64_t value);
  bool setBool(const std::string& key, bool value);
  bool setDouble(const std::string& key, double value);
  bool removeObjectForKey(const std::string& key);

  // Reads the file again, dropping what is in memory.
  void reload();
  const std::string& path() const { return path_; }

 private:
  bool setValue(const std::string& key, Json::Value value);
  bool writeLocked() const;
  void loadLocked();

  const std::string path_;
  mutable std::mutex mutex_;
  Json::Value root_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_PLATFORM_ENVIRONMENT_H_
