// The files beside a key-value store's file: the copy a damaged file is kept
// as, SQLite's companions that go with it, and the mark that asks the next
// opening to set the file aside.
//
// A mark ("<path>.damage-found") is left when a read or write of a store met
// damage that could not be dealt with at once (another store of the run had
// the file open). SQLite's check at the next start may pass such a file (a
// key index that points at a row that is not there), so the mark is what
// tells the opener. It holds the damage as a line of text; only a regular
// file counts as a mark, and it is never written through a link.
//
// Used by Database and by its opener (database_recovery.h). The caller holds
// the store file's lock (Database::lockFileAt); nothing here locks. Never
// throws but std::bad_alloc.
#ifndef TL_CORE_RUNTIME_STORE_FILES_H_
#define TL_CORE_RUNTIME_STORE_FILES_H_

#include <optional>
#include <string>

namespace tembrolexinsdk {
namespace DB {
namespace storefiles {

// "<path>.damaged".
std::string damagedCopyPath(const std::string& path);
// "<path>.damage-found".
std::string markPath(const std::string& path);

// Moves the file at `path` (a link as a link) and its "-journal", "-wal" and
// "-shm" to "<path>.damaged", "<path>.damaged-journal" and so on, replacing
// an earlier kept copy and removing its companions that the new one lacks,
// and removes the mark. Returns "" when the file was moved, else what failed
// ("moving <from> to <to> failed: <system's reason>").
std::string setAside(const std::string& path);

// Leaves the mark beside `path`, holding `damage`. Returns "" when it was
// written, else the system's reason (a link, a folder or a pipe at the
// mark's path is not written to).
std::string writeMark(const std::string& path, const std::string& damage);
// Whether a mark lies beside `path`.
bool hasMark(const std::string& path);
// The damage the mark beside `path` names (its first line, at most 300
// bytes, made fit for a log line; "" when it holds none), or nothing when
// there is no mark.
std::optional<std::string> readMark(const std::string& path);
void removeMark(const std::string& path);

}  // namespace storefiles
}  // namespace DB
}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_STORE_FILES_H_
