#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tltest {

namespace {

// A new folder under `base`, or "" when none can be made there.
std::string makeFolderUnder(const std::string& base) {
  std::string tmpl = base + "/tltest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) == nullptr ? std::string() : std::string(buf.data());
}

std::string systemTempBase() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

}  // namespace

TempDir::TempDir() : path_(makeFolderUnder(systemTempBase())) {
  if (path_.empty()) throw std::runtime_error("mkdtemp failed");
}

TempDir::TempDir(const std::string& base) : path_(makeFolderUnder(base)) {
  if (path_.empty()) path_ = makeFolderUnder(systemTempBase());
  if (path_.empty()) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything writable first so read-only test files do not survive.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& text) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace tltest
