// Path arithmetic on texts and whole-file reading and replacing.
//
// Paths use "/" as the separator; when a path is split, "\" counts as a
// separator too. The path is kept as given, never checked or normalised.
// Nothing here throws; failures show in the results.
//
// Thread safety: a FileInfo is immutable; its members may be called from any
// thread. Concurrent writers of one file are not coordinated.
#ifndef TL_CORE_RUNTIME_FILE_INFO_H_
#define TL_CORE_RUNTIME_FILE_INFO_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

namespace tembrolexin {

class FileInfo {
 public:
  explicit FileInfo(std::string path) : path_(std::move(path)) {}

  // True when the path can be opened for reading.
  bool exists() const;

  static char pathSeparator() { return '/'; }
  // a + b when a is empty or ends in "/", else a + "/" + b. b is appended as
  // it is, even when it begins with "/".
  static std::string addPath(std::string a, std::string b);

  // The position just after the last "/" or "\"; 0 when there is neither.
  size_t getFilenameIndex() const;
  // The text before the file name, with its trailing separator.
  std::string path() const;
  std::string filename() const;
  // The text after the last "." when that "." lies inside the file name and
  // is not its first character; else "".
  std::string suffix() const;
  // The file name up to its first "." after the first character.
  std::string basename() const;
  // The file name up to its last "." (not counting a leading one).
  std::string longBasename() const;

  // The whole file (fileio::readRegularFile, without a bound). The file is
  // opened for reading only, so read-only files are read. When it cannot be
  // opened or read (or is not a regular file), prints
  // "Missing file - <path>\r\n" to standard output and returns "".
  std::string contents() const;
  // Replaces the file with `text`: the bytes go to a new hidden file beside
  // it (see isHiddenOrTemporary), synced to the disk, that is then renamed
  // over the old one, so a failed write or a crash leaves the old content
  // whole. Keeps an existing file's permission bits. A path that is a
  // symbolic link is written through in place. True when every byte reached
  // the file.
  bool replaceContents(std::string text) const;
  // Modification time in whole seconds since 1970-01-01 UTC; 0 when the
  // file's status cannot be read.
  int64_t lastModified() const;

  const std::string& fullPath() const { return path_; }

  // True when the file name part of `pathOrName` (after the last "/") begins
  // with ".": a hidden file, "." or "..", or a half-written temporary of
  // replaceContents or the gzip helpers, which a crash may leave behind.
  // Every scan that hands files on (uploads, installs, bundle walks) skips
  // such names, so it never passes on a file that is still being written.
  static bool isHiddenOrTemporary(std::string_view pathOrName);

 private:
  std::string path_;
};

namespace fileio {

// False for a text that cannot name a file: the system would stop reading it
// at its first zero byte and act on a different, shorter path.
inline bool isUsablePath(const std::string& path) { return path.find('\0') == std::string::npos; }

// How readRegularFile went.
enum class ReadResult {
  kRead,        // `text` holds every byte of the file
  kMissing,     // nothing is at the path, or a link there leads to nothing
  kNotRegular,  // a folder, a pipe, a device or a socket (links followed)
  kTooLarge,    // more than the bound
  kFailed,      // it cannot be opened or read; the error number tells why
};

// The bound of a read that has none but the memory's.
inline constexpr std::size_t kNoBound = std::numeric_limits<std::size_t>::max();

// Reads the whole regular file at `path`, links followed, into `text` when
// it holds at most `maxBytes` bytes; else `text` is left empty. It is opened
// without blocking, so a named pipe put in its place is neither waited on
// nor read. A file whose size is past the bound is not read at all; one that
// grows past it while it is read, or tells no size (as those under /proc
// do), is read one byte past the bound and no further, so the memory held
// never exceeds the bound by more than a page. No byte read is left in
// freed memory (the buffer grows by copying and wiping the old one, and a
// failed read wipes what it read), so a secret (a private key) may be read
// this way; wiping `text` is then the caller's part. On kFailed, `*error`
// (when not null) holds the system's error number; else it holds 0. Never
// throws but std::bad_alloc. Any thread.
ReadResult readRegularFile(const std::string& path, std::size_t maxBytes, std::string& text,
                           int* error = nullptr);

// Writes every byte of `bytes` to `fd`, going on after an interruption or a
// short write. False, errno telling why, when a write fails (EIO when it
// writes nothing).
bool writeAll(int fd, std::string_view bytes);

// fsync, going on after an interruption; a file system that cannot sync this
// kind of file (EINVAL) has nothing to write. 0, or the system's error number.
int syncFd(int fd);

// Creates a new, empty file beside `path` for writing, readable and writable
// as a newly created file would be: same folder, hidden name "." + the file
// name (its first 200 bytes) + ".tmp" + runToken() + "_" + counter, so that
// FileInfo::isHiddenOrTemporary recognises it and a long name still fits.
// Returns its descriptor and sets `tempPath`, or -1.
int createTempBeside(const std::string& path, std::string& tempPath);

// This run's mark in the names of its temporaries: 16 lowercase hexadecimal
// digits of random bits, drawn once per process (and again in a forked
// child). A process id would not do: an app in a container runs as process
// 1 at every start, so a crashed run's temporaries would pass for the
// current run's. Any thread.
std::string runToken();

enum class TemporaryName {
  kNone,        // not a temporary's name
  kThisRun,     // made by this process (it may be writing it right now)
  kEarlierRun,  // left by another run, perhaps one with the same process id
};
// Whether the file name `name` is a temporary's of createTempBeside or
// replaceContentsBelow: "." + ... + ".tmp" + mark + "_" + digits, the mark
// being a run token or, in names of earlier versions, a process id.
TemporaryName classifyTemporaryName(std::string_view name);

// Replaces the regular file `relative` below `folder` with `text`, reaching
// it without following a symbolic link on any component (`folder` itself
// included): the bytes go to a new file beside it (createTempBeside's name),
// which is synced to the disk and then renamed over it, keeping its
// permission bits. Never writes in place. False, with nothing changed, when a
// component is a link or not a folder, the file is not a regular file,
// `relative` climbs out through "..", or no new file can be made or written;
// then `*error` (when not null) holds the system's error number of the
// failing step, or 0 when there is none.
bool replaceContentsBelow(const std::string& folder, const std::string& relative,
                          const std::string& text, int* error = nullptr);
// The regular file `relative` below `folder`, reached the same way and read
// as readRegularFile reads (without a bound); false when it cannot be.
bool readContentsBelow(const std::string& folder, const std::string& relative, std::string& text);

}  // namespace fileio

}  // namespace tembrolexin

#endif  // TL_CORE_RUNTIME_FILE_INFO_H_
