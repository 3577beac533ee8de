// Record files on disk: writing them whole lines at a time, and telling
// which files of the record folder may be sent.
//
// RecordFile appends lines to one new file. A line reaches the file whole or
// not at all: when the disk is full, a size limit is reached or the write
// fails half way, what was written of the line is cut off again, so the file
// always ends after a complete line. The process's file-size limit
// (RLIMIT_FSIZE) is checked before each write, so a write never exceeds it
// and the kernel never raises SIGXFSZ for it.
//
//   RecordFile file;
//   if (int error = file.create(path); error != 0) ... strerror(error)
//   if (int error = file.append(line); error != 0) ... the line is not in it
//   file.close();
//
// The folder: the record writer names its files "sdk_<udid>_<time>_<n>.json"
// with the udid reduced to [A-Za-z0-9._-] (recordFileNamePart). The uploader
// sends only what checkRecordFile finds sendable: a regular file
// (not a link) of this user with such a name, at most kMaxUploadBytes long,
// whose lines are JSON objects with an "id", a HEADER first; and the folder
// holds at most a bounded number of them (pendingRecordFiles lists them,
// oldest first). A power cut while a record was written leaves a file whose
// last line is cut off: such a file, or one with lines that are not
// records, keeps every line that is a record, in its place, and only the
// others are dropped (repairRecordFile): a file damaged only at its end is
// cut back, any other is rewritten (a new file, synced and renamed over the
// old, so a crash leaves one or the other whole). A last line that reads as
// a whole record and lacks only its newline is whole, and gets the newline.
//
// Thread safety: a RecordFile belongs to one thread; the free functions may
// be called from any thread.
#ifndef TL_CORE_ANALYTICS_RECORD_FILE_H_
#define TL_CORE_ANALYTICS_RECORD_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tembrolexinsdk {

// A record file is closed and the next one opened before a record would take
// it beyond this size (a first record of any length still goes in).
inline constexpr int64_t kMaxRecordFileBytes = int64_t{4} << 20;
// A record whose line is longer than this is not written.
inline constexpr int64_t kMaxRecordBytes = int64_t{1} << 20;
// The largest file the uploader sends: a full file, its last record and a
// footer.
inline constexpr int64_t kMaxUploadBytes = kMaxRecordFileBytes + kMaxRecordBytes + 4096;
// How many record files may wait for upload in the folder, unless the app
// says otherwise.
inline constexpr std::size_t kDefaultMaxPendingFiles = 50;

// The write(2) call; a seam through which tests make a disk full.
using WriteCall = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

class RecordFile {
 public:
  explicit RecordFile(WriteCall write = WriteCall());
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Creates `path` (owner read and write only); never opens an existing file
  // or follows a link. 0, or the errno of the failure.
  int create(const std::string& path);
  bool isOpen() const { return fd_ >= 0; }
  // Bytes in the file: the end of its last complete line.
  int64_t size() const { return size_; }
  // Appends `text` whole, or leaves the file as it was. 0, or the errno of
  // the failure (EFBIG when the file-size limit would be passed).
  int append(const std::string& text);
  // 0, or the errno of the failure; the file is closed in either case.
  int close();

 private:
  WriteCall write_;
  int fd_ = -1;
  int64_t size_ = 0;
};

// "sdk_" + [A-Za-z0-9._-]+ + ".json", at most 255 bytes, not hidden.
bool isRecordFileName(const std::string& name);
// `text` with every byte outside [A-Za-z0-9._-] replaced by '_' ("_" for an
// empty text), for use inside a record file name.
std::string recordFileNamePart(const std::string& text);
// Whether the file at `path` may be sent. Foreign: not a file this library
// wrote (another name, a link, not a regular file, another user's), to be
// left alone. Broken: a record file that cannot be sent (empty, its first
// line cut off, not a record or not a header, its records too long), to be
// dropped. CutBack and Rewrite: a record file with lines that are not
// records (one cut off, garbage, zero bytes), or whose last record only
// lacks its newline, that is sent once it holds its records alone: CutBack
// when they all come before the damage, Rewrite when some follow it. The
// file is read a block at a time: its size does not bound memory.
struct RecordFileCheck {
  enum Verdict { kSendable, kForeign, kBroken, kCutBack, kRewrite };
  Verdict verdict = kSendable;
  std::string reason;  // "a symbolic link", "empty", "line 3 is not a record", ...
  // CutBack and Rewrite only: the file's size when it was read, the
  // stretches [begin, end) of its record lines in order (lines next to each
  // other make one stretch), their bytes, whether the last of them lacks its
  // newline, and how many lines are kept and dropped (a cut-off last line
  // counts as one).
  int64_t fileBytes = 0;
  std::vector<std::pair<int64_t, int64_t>> kept;
  int64_t keptBytes = 0;
  bool addNewline = false;
  std::size_t keptLines = 0;
  std::size_t droppedLines = 0;
};
RecordFileCheck checkRecordFile(const std::string& path);
// Makes the file at `path` hold only what `check` (a CutBack or Rewrite
// verdict for that path) keeps, the missing newline added. CutBack cuts the
// file to its whole lines (the newline is left out when the disk or the
// file-size limit has no room for it). Rewrite writes the kept lines to a new
// hidden file in the same folder, syncs it, renames it over the file and
// syncs the folder. Never follows a link. 0, or the errno of the failure
// with the file left as it was: ESTALE when its size is no longer the one
// that was checked.
int repairRecordFile(const std::string& path, const RecordFileCheck& check);
// Removes what a crashed run's rewrite left in `folder`: its temporary files
// (see tembrolexin::fileio::classifyTemporaryName), never this run's.
void removeEarlierTemporaries(const std::string& folder);
// The record files of `folder` (regular files with record file names, links
// not followed), oldest first (by modification time, then name).
std::vector<std::string> pendingRecordFiles(const std::string& folder);
// `text` with line breaks and other control bytes written as escapes, for
// log lines that show a file name.
std::string printableName(const std::string& text);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ANALYTICS_RECORD_FILE_H_
