// Opening a key-value store whose file may be damaged.
//
// A store file that SQLite cannot read as a database (garbage, a cut file,
// flipped bytes, a link to such a file), or whose pages past the first are
// damaged, would fail every later open, or every read of what it holds,
// until someone deleted it by hand. The stores kept this way hold facts that
// the library can do without, so the opener sets such a file aside and
// starts a new one:
//
//   auto store = DB::openSettingDamageAside(folder + "/audiodecoder.db",
//                                           "audiodecoder", this);
//
// The first opening of a file in a run checks the whole file (SQLite's
// quick_check, about 15 ms for a 10 MB store in memory) and then its
// header's file format versions before any store of this run holds it open;
// later openings of that file in the same run only open it. SQLite opens a
// file whose write version is above 2 read-only, so every write would fail
// at every start; such a file, like one whose write or read version is 0,
// still reads, so its rows are carried into the new store (a read version
// above 2 SQLite does not read at all: the check finds no database).
// Damage that the check does not see and that a store's read or
// write met while another store had the file open left a mark beside it
// (store_files.h): an opening that finds the mark sets the file aside
// whatever the check says.
// A link whose target does not exist counts as damage at every opening:
// SQLite would create the store at the target.
//
// Setting aside renames the file to "<path>.damaged" (a link is moved as a
// link, its target is left alone) and its "-journal", "-wal" and "-shm" files
// to "<path>.damaged-journal" and so on; an earlier kept copy is replaced,
// and its companions that the new one lacks are removed, so the kept files
// always belong together; the mark is removed. A folder at one of those
// names is not replaced: the file and its companions then go to the first
// free "<path>.damaged.<n>" (store_files.h). What is no regular file at a
// companion's name is no companion: each opening first moves it out of
// SQLite's way (database.h). The opener itself writes nothing into the
// damaged file, nor through a link; SQLite's first opening has by then
// played back what a "-journal" or "-wal" held into the file and removed
// them (with the "-wal"'s "-shm"), so only a "-journal" with nothing to play
// back (empty, or a zero byte at its start) and a "-shm" without a "-wal"
// move along.
//
// Thread safety: any thread. One file is checked or set aside at a time (a
// process-wide lock, taken only at a file's first opening in the run, when a
// mark lies beside it, or once an opening found damage); the check, the
// opening, the look at whether another store of this process has the file
// open, the renames, the copy of its rows and the new store's opening run
// under the file's lock as well, so no store of this run opens the file, or
// sets it aside, in between.
// Across processes, a start first looks at the store (its carry record, its
// mark, the check) under the store's lock ("<path>.lock",
// storefiles::StoreLock) held shared, and opens a store it finds sound
// still holding it, so the starts of several processes check one store side
// by side. Only a set-aside, a carry or a resumed carry takes the lock
// exclusively, and the start then looks at everything again, since another
// may have mended the store meanwhile. Every opening holds it shared while
// it opens (database.h), so a start of another process on the same folder
// neither meets a set-aside or carry half done nor makes a new file at the
// store's name in its way. A carry's record is locked as well
// (storefiles::CarryRecordHold), by the start that writes it from before
// the set-aside, and by one that finds it before it resumes or removes it,
// each until the record is removed: so also a start that cannot have the
// store's lock never takes a carry under way in another process for one
// that a crash cut short.
// Lock order: that process-wide lock, then the file's lock, then the store's
// lock across processes, then the carry record's, then the mutex table's
// (Database::mapMutex); the shared hold of the first look is released
// before the exclusive one is taken (flock cannot turn one into the other
// without letting go in between). A store that sets its file aside from
// inside an operation holds the file's lock and takes only the store's and
// the table's.
#ifndef TL_CORE_RUNTIME_DATABASE_RECOVERY_H_
#define TL_CORE_RUNTIME_DATABASE_RECOVERY_H_

#include <memory>
#include <string>

#include "core/runtime/database.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/store_files.h"

namespace tembrolexinsdk {
namespace DB {

// Opens the store of `tableName` in the file at `path` as Database's
// constructor does. The file counts as damaged when its check in this run
// finds damage, when a mark lies beside it, when the opening fails because
// SQLite finds it damaged (OpenError::damaged: codes 11 and 26, and code 1
// for "unsupported file format"), when the check finds a header whose file
// format write or read version (bytes 18 and 19) is neither 1 nor 2, or
// when it is a link to nothing. A damaged file that
// no other store of this process has open is set aside, a new store is
// opened in its place, and then a Warning naming the file and the damage is
// logged under `sender`'s name:
//
//   "Store <path> is damaged (<reason>, code <n>); it is set aside as
//    <path>.damaged and a new, empty store is made"
//
// (with the name it went to, such as "<path>.damaged.1"), where the damage
// reads "quick_check: <the first line of its report>" when the check found
// it, "header: write version <w>, read version <r>" for the header, "<what
// the mark names>, met by an earlier read or write" for a mark, and "a link
// to <target>, which leads to no file" for a link to nothing ("..., which
// cannot be followed (Too many levels of symbolic links)" for links that
// loop or chain past the system's bound). Otherwise the
// constructor's OpenError is thrown; a damaged file that stays is logged
// with a Warning that says why:
//
//   "...; another store of this run has it open, so it is set aside at the
//    next start"
//   "...; moving <from> to <to> failed: <system's reason>"
//
// A file whose damage the check found and which stays is then opened as it
// is (the store serves what it can read); a link to nothing that stays
// throws OpenError code 14 with the damage as its reason ("a link to
// <target>, which leads to no file").
// When the new store cannot be made, its OpenError is thrown with its text
// followed by "; store <path> is damaged (...); it is set aside as
// <path>.damaged, but a new store could not be made: <reason>".
//
// For the header, the rows SQLite reads of the kept copy are first carried
// into the new store (Database::carryRows), and the Warning ends
//
//   "...; it is set aside as <path>.damaged and a new store is made with
//    the <n> rows it still reads"
//
// (the rows of all its tables; "1 row"), or, when that fails and the new
// store starts empty, "... and a new, empty store is made; carrying its rows
// over failed: <reason>". Before the file is set aside, the carry is
// recorded beside it ("<path>.carry-due", store_files.h), and the record is
// removed once the copy holds the file's name or failed ("; recording the
// carry failed: <reason>" ends the Warning when it could not be written,
// after what was moved out of its place). An opening that finds the record
// while nothing lies at `path` (a crash came between the set-aside and the
// copy's rename) carries the rows of the kept copy it names again, removing
// what the copy that was cut short left, and the Warning reads
//
//   "Store <path> is damaged (<damage>, found by an earlier start that ended
//    before its rows were carried over); it is set aside as <path>.damaged
//    and a new store is made with the <n> rows it still reads"
//
// unless the kept copy is gone, or is no regular file once links are
// followed (SQLite's opening of a pipe there would wait for ever): then
// nothing is read from it nor done to it, the record is removed, and the
// Warning reads
//
//   "...; the kept copy <path>.damaged named by its carry record is <what
//    lies there>, so nothing is carried and a new, empty store is made"
//
// ("gone", "a named pipe", "a link to <target>, which leads to a named
// pipe", "a link to <target>, which cannot be followed (Too many levels of
// symbolic links)", as storefiles::notARegularFile names it).
// A record found beside a file (the crash came before the set-aside, or
// after the rename) is removed, and the opening goes on as without it.
//
// Other processes: while another process holds the store's lock, or the
// carry record's, for all of storefiles::lockWait(), OpenError code 5 is
// thrown ("another process is checking or mending the store; <path>.lock
// was still locked after <n> ms", or "...; <path>.carry-due was still
// locked ...") and nothing is moved or made. Where the lock cannot be had,
// a Warning says so once in the run ("Store <path>: locking <path>.lock
// failed: <reason>; it is opened without it") and the opening goes on
// without it, guarded by the carry record's lock on both paths: should the
// file be gone when it is to be set aside (another process's start moved
// it), the Warning ends "...; moving <path> to <kept> failed: No such file
// or directory", no store is made, and OpenError code 5 is thrown
// ("another process is checking or mending the store; moving ..."); a
// record this start wrote is removed, another's left alone. A start that
// waited for the record's lock before a carry of its own, and then finds
// at the path a file whose header no longer needs mending (another start
// carried the rows meanwhile), opens that file as it is.
std::unique_ptr<Database> openSettingDamageAside(const std::string& path,
                                                 const std::string& tableName,
                                                 const INamedObject* sender);

// Where an opening by openSettingDamageAside stands, for a test that holds a
// start there, or forks from it.
enum class OpeningStep {
  // The store is about to be looked at (its carry record, mark and check),
  // under the store's lock held shared at the first look, and exclusively at
  // the second, which follows when something is to be mended.
  kCheck,
  // The store is about to be set aside, or its carry resumed, under the
  // store's lock held exclusively.
  kMend,
};
// Called on the opening's thread at each step, with the mode the store's
// lock is taken in there (held, or not to be had); null for none.
using OpeningSeam = void (*)(OpeningStep step, storefiles::StoreLock::Mode mode);
// Test seam: sets the function called at each step (null: none, the
// default). Any thread; the function must be set before the openings that
// are to call it begin.
void setOpeningSeam(OpeningSeam seam);

}  // namespace DB
}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_DATABASE_RECOVERY_H_
