#include "tests/support/damaged_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/runtime/database.h"
#include "tests/support/temp_dir.h"

namespace tltest {

namespace {

std::string noise() {
  std::string text;
  while (text.size() < 8192) text += "not a database, only noise. ";
  text.resize(8192);
  return text;
}

// A real store with 16 rows of 900 bytes: four pages of 4096 bytes and more.
void writeRealStore(const std::string& path) {
  tembrolexinsdk::DB::Database store(path, "t");
  for (int i = 0; i < 16; ++i) {
    std::string key = "k";
    key += std::to_string(i);
    store.insert<std::string>(key, std::string(900, 'v'));
  }
}

}  // namespace

void writeGarbageStore(const std::string& path) { writeFile(path, noise()); }

void writeCutStore(const std::string& path) {
  writeRealStore(path);
  std::filesystem::resize_file(path, 3000);
}

void writeFlippedStore(const std::string& path) {
  writeRealStore(path);
  std::string bytes = readFile(path);
  for (size_t i = 100; i < 104; ++i) bytes[i] = static_cast<char>(~bytes[i]);
  writeFile(path, bytes);
}

void writeDamagedPageStore(const std::string& path) {
  writeRealStore(path);
  std::string bytes = readFile(path);
  bytes.replace(2 * 4096, 4096, noise().substr(0, 4096));
  writeFile(path, bytes);
}

void writeBadFreelistStore(const std::string& path) {
  writeRealStore(path);
  std::string bytes = readFile(path);
  // Big-endian: the first free page at byte 32, the count of free pages at 36.
  bytes.replace(32, 8, std::string("\0\0\x03\xe7\0\0\0\x01", 8));
  writeFile(path, bytes);
}

void writeIndexWithoutItsRowStore(const std::string& path, const std::string& table) {
  {
    tembrolexinsdk::DB::Database store(path, table);
    for (int i = 1; i <= 8; ++i) store.insert<bool>("flag" + std::to_string(i), true);
  }
  // The index record of "flag3": header size 3, a text of 5 bytes (serial
  // type 23), a one-byte integer (1); the key; the row number. The table's
  // own record has the value's type (a blob of 1 byte, 14) in third place.
  const std::string entry = std::string("\x03\x17\x01", 3) + "flag3" + std::string("\x03", 1);
  std::string bytes = readFile(path);
  const size_t at = bytes.find(entry);
  if (at == std::string::npos || bytes.find(entry, at + 1) != std::string::npos) {
    throw std::runtime_error("the index entry of flag3 is not found once in " + path);
  }
  bytes[at + entry.size() - 1] ^= 0x10;  // row 3 becomes row 19
  writeFile(path, bytes);
}

void writeSchemaFormatStore(const std::string& path, unsigned format) {
  writeRealStore(path);
  std::string bytes = readFile(path);
  for (int i = 0; i < 4; ++i) bytes[44 + i] = static_cast<char>(format >> (24 - 8 * i));
  writeFile(path, bytes);
}

void setHeaderVersions(const std::string& path, unsigned char write, unsigned char read) {
  std::string bytes = readFile(path);
  bytes[18] = static_cast<char>(write);
  bytes[19] = static_cast<char>(read);
  writeFile(path, bytes);
}

void writeWriteVersion3Store(const std::string& path, int rows) {
  tembrolexinsdk::DB::Database(path, "audiodecoder");
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot open " + path);
  const std::string fill =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(rows) +
      ") INSERT INTO audiodecoder SELECT 'flag' || i, printf('%0100d', i) FROM n;";
  const int rc = sqlite3_exec(db, fill.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot fill " + path);
  setHeaderVersions(path, 3, 1);
}

std::string hundredDigits(int n) {
  const std::string digits = std::to_string(n);
  return std::string(100 - digits.size(), '0') + digits;
}

void linkToNothing(const std::string& path) {
  std::filesystem::create_symlink(path + ".target", path);
}

void linkToGarbageStore(const std::string& path) {
  writeGarbageStore(path + ".target");
  std::filesystem::create_symlink(path + ".target", path);
}

void makeFolderInPlace(const std::string& path) { std::filesystem::create_directories(path); }

std::string whatLiesAt(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return "none";
  if (S_ISDIR(info.st_mode)) return "folder";
  if (S_ISLNK(info.st_mode)) return "link to " + std::filesystem::read_symlink(path).string();
  if (!S_ISREG(info.st_mode)) return "special file";  // reading a pipe would wait
  return readFile(path);
}

}  // namespace tltest
