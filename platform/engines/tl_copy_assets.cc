#include "platform/engines/tl_copy_assets.h"

#include <unistd.h>

#include <filesystem>
#include <random>
#include <system_error>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace fs = std::filesystem;

namespace {

std::string newUuid() {
  // Never destroyed: threads still running at exit may ask for one.
  struct Source {
    tembrolexin::Mutex mutex;
    std::mt19937_64 rng{std::random_device{}()};
  };
  static Source* source = new Source();
  std::lock_guard lock(source->mutex);
  std::mt19937_64& rng = source->rng;
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) out += '-';
    out += hex[rng() & 0xF];
  }
  return out;
}

}  // namespace

TLCopyAssets2TmpDir& TLCopyAssets2TmpDir::sharedCopyAssets2TmpDir() {
  static TLCopyAssets2TmpDir* shared = [] {
    std::error_code ec;
    const fs::path tmp = fs::temp_directory_path(ec);
    return new TLCopyAssets2TmpDir(ec ? std::string("/tmp") : tmp.string());
  }();
  return *shared;
}

TLCopyAssets2TmpDir::TLCopyAssets2TmpDir(std::string tmpFolder) : tmp_(std::move(tmpFolder)) {}

std::string TLCopyAssets2TmpDir::copyAssetsDir2TmpDir(const std::string& pagePath) {
  constexpr const char* kMethod = "-[TLCopyAssets2TmpDir copyAssetsDir2TmpDir:]";
  const bool readable = access(pagePath.c_str(), R_OK) == 0 && fs::is_regular_file(pagePath);
  TLLogger::debugInMethod(kMethod, __LINE__, "File %s is readable: %s", pagePath.c_str(),
                          readable ? "YES" : "NO");
  if (!readable) return "";
  const fs::path page(pagePath);
  const std::string target = (fs::path(tmp_) / "www").string();
  Error error;
  bool ok;
  {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::create_directories(target, ec);
    ok = copyLocked(page.parent_path().string(), target, &error);
  }
  // Logged with the lock released: the app's log delegate may call exit().
  TLLogger::debugInMethod(kMethod, __LINE__, "Copy from %s to %s is ok: %s",
                          page.parent_path().c_str(), target.c_str(), ok ? "YES" : "NO");
  if (!ok) {
    TLLogger::debugInMethod(kMethod, __LINE__, "%s", error.description.c_str());
    return "";
  }
  return "file://" + (fs::path(target) / page.filename()).string();
}

bool TLCopyAssets2TmpDir::copyBundleWWWFolder2Folder(const std::string& folder,
                                                     const std::string& tmpDir) {
  std::lock_guard lock(mutex_);
  Error error;
  return copyLocked(folder, (fs::path(tmpDir) / "www").string(), &error);
}

bool TLCopyAssets2TmpDir::copyFrom(const std::string& source, const std::string& target,
                                   Error* error) {
  std::lock_guard lock(mutex_);
  return copyLocked(source, target, error);
}

bool TLCopyAssets2TmpDir::copyLocked(const std::string& source, const std::string& target,
                                     Error* error) {
  std::error_code ec;
  if (!fs::exists(source, ec)) {
    if (error) *error = {"TestDomainTODO", 1, source + " file does not exist."};
    return false;
  }
  const fs::path backup = fs::path(tmp_) / (newUuid() + ".bak");
  if (fs::exists(target, ec)) {
    fs::copy(target, backup, fs::copy_options::recursive, ec);
    if (ec) return false;
    fs::remove_all(target, ec);
    if (ec) return false;
  } else {
    fs::create_directories(fs::path(target).parent_path(), ec);
    if (ec) return false;
  }
  fs::copy(source, target, fs::copy_options::recursive, ec);
  if (!ec) {
    fs::remove_all(backup, ec);
    return true;
  }
  if (error) *error = {"std::filesystem", ec.value(), ec.message()};
  std::error_code ignored;
  fs::remove_all(target, ignored);
  if (fs::exists(backup, ignored)) fs::copy(backup, target, fs::copy_options::recursive, ignored);
  fs::remove_all(backup, ignored);
  return false;
}

}  // namespace tembrolexinplatform
