// Store files damaged the ways they are met on devices (a file of noise, a
// file cut short, bytes flipped, a link to a file of noise, a folder in the
// file's place), made in real files for the tests of the stores' openers.
#ifndef TL_TESTS_SUPPORT_DAMAGED_STORE_H_
#define TL_TESTS_SUPPORT_DAMAGED_STORE_H_

#include <string>

namespace tltest {

// 8 KiB of text noise; its start is not SQLite's "SQLite format 3\0", so
// SQLite reads it as no database (26).
void writeGarbageStore(const std::string& path);
// A real store of several pages (table "t"), cut inside its first page:
// its schema is partly missing, so SQLite finds it corrupt (11).
void writeCutStore(const std::string& path);
// A real store of several pages whose bytes 100 to 103 are inverted: the
// first page's b-tree header starts at byte 100 with the page type, which
// becomes no valid type, so SQLite finds it corrupt (11).
void writeFlippedStore(const std::string& path);
// A real store of several pages whose third page (the root of table "t"'s
// key index) is noise. The file opens and table "t" reads until the index
// is used; SQLite's quick_check reports "Page 3: btreeInitPage() returns
// error code 11".
void writeDamagedPageStore(const std::string& path);
// A real store of several pages whose header names page 999 of the 7 as
// its first free page: the file opens and table "t" reads, but making a
// table fails as corrupt (11); quick_check reports "Main freelist: invalid
// page number 999".
void writeBadFreelistStore(const std::string& path);
// A real store (table `table`) of the rows "flag1" to "flag8", each "1",
// whose key index names row 19 for "flag3" instead of row 3: one flipped bit
// of an index page. SQLite's quick_check passes it; every statement that
// finds "flag3" through the index (select, exists, remove) fails as corrupt
// (11), while the other keys read.
void writeIndexWithoutItsRowStore(const std::string& path, const std::string& table);
// A real store (table "t") whose header names the schema format `format`
// (bytes 44 to 47, big-endian); SQLite reads only 1 to 4 and answers any
// other but 0 with "unsupported file format" (code 1).
void writeSchemaFormatStore(const std::string& path, unsigned format);
// Sets the file format write and read versions (header bytes 18 and 19) of
// the SQLite file at `path`; SQLite writes 1 (rollback journal) or 2 (WAL)
// and opens a file whose write version is above 2 read-only.
void setHeaderVersions(const std::string& path, unsigned char write, unsigned char read);
// A store (table "audiodecoder") of the rows "flag1" to "flag<rows>", each
// value its number in 100 digits (hundredDigits), whose write version is 3:
// damaged, and every row still reads.
void writeWriteVersion3Store(const std::string& path, int rows);
// `n` in 100 digits, with leading zeros.
std::string hundredDigits(int n);
// A link at `path` to a file of noise at "<path>.target".
void linkToGarbageStore(const std::string& path);
// A link at `path` to "<path>.target", where nothing lies.
void linkToNothing(const std::string& path);
// An empty folder at `path`.
void makeFolderInPlace(const std::string& path);

// What lies at `path` without following a link: "none", "folder",
// "link to <target>", "special file" (a pipe, a socket, a device), or the
// file's bytes.
std::string whatLiesAt(const std::string& path);

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_DAMAGED_STORE_H_
