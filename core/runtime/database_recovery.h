// Opening a key-value store whose file may be damaged.
//
// A store file that SQLite cannot read as a database (garbage, a cut file,
// flipped bytes, a link to such a file) would fail every later open until
// someone deleted it by hand. The stores kept this way hold facts that the
// library can do without, so the opener sets such a file aside and starts a
// new one:
//
//   auto store = DB::openSettingDamageAside(folder + "/audiodecoder.db",
//                                           "audiodecoder", this);
//
// Setting aside renames the file to "<path>.damaged" (a link is moved as a
// link, its target is left alone) and its "-journal", "-wal" and "-shm" files
// to "<path>.damaged-journal" and so on; an earlier kept copy is replaced,
// and its companions that the new one lacks are removed, so the kept files
// always belong together. The opener writes nothing into the damaged file,
// nor through a link.
//
// Thread safety: any thread. One damaged file is set aside at a time (a
// process-wide lock, taken only once an opening found damage); the check
// that no other store of this process has the file open and the renames run
// under the file's lock as well.
#ifndef TL_CORE_RUNTIME_DATABASE_RECOVERY_H_
#define TL_CORE_RUNTIME_DATABASE_RECOVERY_H_

#include <memory>
#include <string>

#include "core/runtime/database.h"
#include "core/runtime/i_named_object.h"

namespace tembrolexinsdk {
namespace DB {

// Opens the store of `tableName` in the file at `path` as Database's
// constructor does. When that fails because SQLite finds the file damaged
// (OpenError::damaged) and no other store of this process has the file open,
// the file is set aside, a Warning naming it and SQLite's reason is logged
// under `sender`'s name:
//
//   "Store <path> is damaged (<reason>, code <n>); it is set aside as
//    <path>.damaged and a new, empty store is made"
//
// and the store is opened once more. Otherwise the constructor's OpenError
// is thrown; a damaged file that stays is logged with a Warning that says why:
//
//   "...; another store of this run has it open, so it is set aside at the
//    next start"
//   "...; moving <from> to <to> failed: <system's reason>"
//
// The second opening's OpenError, if it fails, is thrown as it is.
std::unique_ptr<Database> openSettingDamageAside(const std::string& path,
                                                 const std::string& tableName,
                                                 const INamedObject* sender);

}  // namespace DB
}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_DATABASE_RECOVERY_H_
