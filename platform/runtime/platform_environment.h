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
// file and nothing set is lost. A missing file is an empty store. Nothing is
// ever written through what stands at the path: a symbolic link to a regular
// file is read, and the first change replaces the link by a file of its own
// (the link's target is left as it is); anything else (a pipe, a folder, a
// link to anything else or to nothing), a file that is not a JSON object and
// a file larger than 16 MiB (which is not read) is renamed to
// "<path>.damaged" with an Error line naming both paths, and the store
// starts empty; text after the object is ignored.
//
// The file keeps kReservedBytes (954) of its 16 MiB for the library's own
// values at their largest: the device identity (a text of at most 64 bytes
// under "PluginIdentityUdid") and the upload sequence numbers (an integer,
// at most 20 characters, under "<plug-in>_meta_sequenceNum") of the
// plug-ins listed in kReservedSequencePlugins. Only these are the library's
// own: any other value is the app's, an integer under another key ending in
// kSequenceNumberSuffix included, whoever writes it (a plug-in of another
// name uploads nothing). A change that would make the file (the text
// written, indented) larger than its bound -- 16 MiB for one of the
// library's own values, 16 MiB less the reserve for any other -- and
// larger than the text of the values before it, is refused: the values
// stay as they were (Error line; the setter answers false), so every later
// change that fits is written and an app's values never take the room of
// the library's. A change that makes the text no larger (a removal, a
// shorter value) is never refused for its size; only values read from a
// file written elsewhere (compact, say, or by a version without the
// reserve) can make a text past the bound, and such a file is read as it
// is.
// Nothing at the path is opened in a way that could wait.
//
// Across processes (and objects) on one file: each change takes the file's
// lock "<path>.lock" (ExclusiveFileLock: flock, waited for at most 10 s;
// where it cannot be had, a Warning once per object and the change goes on
// without it), reads the file again, applies the change to what it holds
// (with this object's earlier changes that could not be written) and
// replaces the file whole. So a change keeps every other key as the file
// holds it then, whoever wrote it. The identity is claimed (claimString)
// and sequence numbers taken (takeNumbers) in the same step, so one file
// gets one identity and no number is taken twice. Reads answer from memory:
// the file as it was at the last load or change (reload() reads it again).
//
// Thread-safe: one lock per object, never held while a line reaches the log.
#ifndef TL_PLATFORM_RUNTIME_PLATFORM_ENVIRONMENT_H_
#define TL_PLATFORM_RUNTIME_PLATFORM_ENVIRONMENT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <json/value.h>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/unique_fd.h"

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
  // The library's own keys: the device identity, a text of at most
  // kMaxIdentityBytes, and each plug-in's upload sequence number, an integer
  // under the plug-in's name followed by kSequenceNumberSuffix.
  static constexpr const char* kIdentityKey = "PluginIdentityUdid";
  static constexpr std::size_t kMaxIdentityBytes = 64;
  static constexpr const char* kSequenceNumberSuffix = "_meta_sequenceNum";
  // The plug-ins whose sequence numbers the reserve holds: the built-in
  // processors, which report prepared files, and the plug-ins the upload
  // server takes files from. Another name's uploads go nowhere; its number
  // is held to the app's bound.
  static constexpr std::array<std::string_view, 13> kReservedSequencePlugins = {
      // built in
      "tembrolexin_EchoMod", "tembrolexin_VorselT", "tembrolexin_VorselTW", "tembrolexin_DB",
      "tembrolexin_Hybrid",
      // with an upload path
      "tembrolexin_EchoModPlugin", "tembrolexin_DEBUG", "tembrolexin_TestPlugin",
      "tembrolexin_Fingerprint", "tembrolexin_FPServer", "tembrolexin_AMPartnerA",
      "tembrolexin_AMPartnerB", "tembrolexin_AMPartnerC"};
  // The bytes the indented file takes for the identity at 64 characters and
  // each of those sequence numbers at 20, which the app's values leave free.
  static constexpr std::size_t kReservedBytes = 954;

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
  // Whether `key` holds a value of any kind (null included).
  bool hasValueForKey(const std::string& key) const;

  // Each stores and writes the file; false when the change is refused for
  // the size it would give the file (nothing changes; see above for the
  // bound of the library's own values and of the others), or when the file
  // could not be written (the change is kept in memory all the same, and
  // written with the next change that is).
  bool setString(const std::string& key, const std::string& value);
  bool setInteger(const std::string& key, int64_t value);
  bool setBool(const std::string& key, bool value);
  bool setDouble(const std::string& key, double value);
  bool removeObjectForKey(const std::string& key);

  // The text under `key` as the file holds it now, when it is a text in
  // which `fault` finds nothing wrong (answers ""); otherwise `candidate`,
  // which is stored in its place. Read, decided and written in one step
  // under the file's locks. `fault` runs
  // under them: it must not call into the app (its lines are held until
  // they are released).
  struct Claimed {
    std::string value;    // what `key` holds now
    std::string fault;    // what `fault` said of the value replaced, if any
    bool made = false;    // `candidate` was stored
    bool written = true;  // false: the file could not be written (as a setter)
  };
  Claimed claimString(const std::string& key, const std::string& candidate,
                      const std::function<std::string(const Json::Value& stored)>& fault);
  // Takes `count` (at least 1) consecutive numbers from the counter under
  // `key` and answers the first: the integer the file holds there now, or 1
  // when none (or 0) is stored or the numbers would pass the largest
  // integer; the counter then holds the number after the last. Read,
  // advanced and written in one step under the file's locks.
  int64_t takeNumbers(const std::string& key, int64_t count);

  // Reads the file again, dropping what is in memory.
  void reload();
  const std::string& path() const { return path_; }

  // A seam for tests: called in each change with the locks held, the file
  // read again and the change decided, before it is written. Null for none.
  void setChangeHook(std::function<void()> hook);

  // Which regular file a path leads to, and as it was last changed.
  struct FileStamp {
    uint64_t device;
    uint64_t inode;
    int64_t size;
    int64_t modifiedSeconds;
    int64_t modifiedNanoseconds;
    int64_t changedSeconds;
    int64_t changedNanoseconds;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
  };

 private:
  static std::optional<FileStamp> fileStamp(const std::string& path);

  // A change decided from the value that the file holds under its key.
  struct Change {
    enum Kind { kKeep, kSet, kRemove } kind;
    Json::Value value;  // kSet
  };
  // The step of every change: under the object's lock and the file's,
  // reads the file again (refreshLocked), decides (`decide` gets the value
  // under `key`, null when none) and writes the change (changeLocked).
  bool change(const std::string& key, const std::function<Change(const Json::Value* stored)>& decide);
  bool setValue(const std::string& key, Json::Value value);
  // Puts `value` under `key` (removes `key` when !present) and writes the
  // file, unless the change is refused for its size (see above): past 16 MiB
  // for one of the library's own values, past 16 MiB less the reserve for
  // any other.
  bool changeLocked(const std::string& key, Json::Value value, bool present);
  // Exchanges what the values hold under `key` with `value`; `present` says
  // whether there is one (on either side), so a second call undoes the first.
  void exchangeLocked(const std::string& key, Json::Value& value, bool& present);
  // Puts `text`, the values' text, in the file.
  bool writeLocked(const std::string& text);
  // Reads the file into the values; false, with the values empty, when it
  // is there but cannot be read (or the path is none to read).
  bool loadLocked();
  // Holds the file the path leads to now as the one whose values are in
  // memory, if it is `expected` (when given); forgets it otherwise.
  void knowFileLocked(const std::optional<FileStamp>& expected);
  void forgetFileLocked();
  // Reads the file again and puts the changes not yet written back on it;
  // keeps the values as they are when it cannot be read.
  void refreshLocked();
  // Renames what is at the path to "<path>.damaged" with an Error line that
  // names both paths; false when it cannot be moved.
  bool setAsideLocked(const char* method, const char* what, const char* doing) const;
  // The load's set-aside of what it found `what`; what cannot be moved is
  // kept in mind (keptInPlaceAs_).
  void setAsideOnLoadLocked(const char* what);

  const std::string path_;
  mutable tembrolexin::Mutex mutex_;
  Json::Value root_;
  // What the load found at the path (one of the texts of its Error: "not a
  // JSON object", ...) when it could not move it aside: nothing is written
  // until it can be. Null otherwise.
  const char* keptInPlaceAs_ = nullptr;
  // This object's changes that the file did not take (a write failed):
  // each key's value, or none for a removal. Written with the next change.
  std::map<std::string, std::optional<Json::Value>> pending_;
  // Whether the Warning that the file's lock cannot be had was logged.
  bool lockWarned_ = false;
  // The file whose values are in memory (this object read or wrote it last),
  // held open, and how it was then; none when the values are not a file's.
  tembrolexin::Fd knownFile_;
  std::optional<FileStamp> knownStamp_;
  std::function<void()> changeHook_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_PLATFORM_ENVIRONMENT_H_
