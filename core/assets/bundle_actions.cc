#include "core/assets/bundle_actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "core/assets/bundle_paths.h"
#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/json_text.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

using tembrolexin::FileInfo;

namespace {

// The member `key` of `value` when `value` is an object; null otherwise
// (indexing a non-object would throw).
const Json::Value& member(const Json::Value& value, const char* key) {
  static const Json::Value& kNull = *new Json::Value();  // never destroyed
  return value.isObject() ? value[key] : kNull;
}

// `path` lies inside `folder` (a file below it, not the folder itself).
bool insideFolder(const std::string& folder, const std::string& path) {
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  const std::string rest = path.substr(folder.size());
  if (!folder.empty() && folder.back() != '/' && rest.front() != '/') return false;
  return !bundlepaths::leavesFolder(rest) && rest.find_first_not_of('/') != std::string::npos;
}

// Reads the file at `path` into `text`. False when there is none (`why`
// left empty) or when what is there cannot be read (`why` says why).
bool readFile(const std::string& path, std::string& text, std::string& why) {
  if (!tembrolexin::fileio::isUsablePath(path)) return false;
  // Non-blocking, so that a named pipe does not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      why = "it cannot be opened: " + tembrolexin::errorText(errno);
    }
    return false;
  }
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) why = "it is not a plain file";
  char buffer[16384];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      why = "it cannot be read: " + tembrolexin::errorText(errno);
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

// The part of `text` that was read to its end before byte `stop`: the text
// up to the end of the last member or element complete there (or just past
// the last bracket that opened), followed by the closing brackets of the
// objects and arrays still open at that point. An object that is an element
// of an array (an action, say) is a record: the innermost one still open is
// left out whole, so no action lacks what followed its last complete
// member. "" when no bracket opened. Every byte before `stop` was accepted
// by the reader, so the result is JSON.
std::string wholePart(const std::string& text, size_t stop) {
  struct Cut {
    size_t at = std::string::npos;
    std::string open;  // the brackets open there, outermost first
  };
  stop = std::min(stop, text.size());
  std::string open;  // the brackets open at the scan point
  Cut cut;
  // Where each array element object that is open began: the cut before it.
  std::vector<std::pair<size_t, Cut>> records;  // depth of the object, cut
  for (size_t i = 0; i < stop; ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < stop && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (c == '/' && i + 1 < stop && (text[i + 1] == '/' || text[i + 1] == '*')) {
      const bool line = text[i + 1] == '/';
      const size_t end = line ? text.find('\n', i + 2) : text.find("*/", i + 2);
      if (end == std::string::npos) break;
      i = line ? end : end + 1;
    } else if (c == '{' || c == '[') {
      // The last cut lies just past the array's '[' or at the comma before
      // this element.
      if (c == '{' && !open.empty() && open.back() == '[') records.emplace_back(open.size(), cut);
      open.push_back(c);
      cut = {i + 1, open};
    } else if (c == '}' || c == ']') {
      if (open.empty() || open.back() != (c == '}' ? '{' : '[')) break;
      open.pop_back();
      if (!records.empty() && records.back().first == open.size()) records.pop_back();
      cut = {i + 1, open};
      if (open.empty()) break;
    } else if (c == ',' && !open.empty()) {
      cut = {i, open};
    }
  }
  if (!open.empty() && !records.empty()) cut = records.back().second;
  if (cut.at == std::string::npos) return {};
  std::string part = text.substr(0, cut.at);
  for (auto b = cut.open.rbegin(); b != cut.open.rend(); ++b) part += *b == '{' ? '}' : ']';
  return part;
}

const char* kindOf(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue: return "null";
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue: return "number";
    case Json::stringValue: return "string";
    case Json::booleanValue: return "boolean";
    case Json::arrayValue: return "array";
    case Json::objectValue: break;
  }
  return "object";
}

}  // namespace

Json::Value parseJsonFile(const std::string& path, std::string* problem) {
  std::string text;
  std::string why;
  if (!readFile(path, text, why)) {
    if (why.empty()) return Json::Value(Json::objectValue);  // no file
    if (problem != nullptr) *problem = why;
    return Json::Value();
  }
  Json::Value root;
  try {
    JsonTextError first;
    if (tembrolexinsdk::parseJsonText(text, root, /*collectComments=*/true, &first)) {
      if (!root.isObject()) why = std::string("it holds a JSON ") + kindOf(root) + ", not an object";
    } else {
      std::string message = first.message.empty() ? std::string("not JSON") : first.message;
      if (!message.empty() && message.back() == '.') message.pop_back();
      const size_t stop = first.message.empty() ? text.size() : first.offset;
      why = message + " at byte " + std::to_string(stop);
      root = Json::Value();
      const std::string part = wholePart(text, stop);
      if (!part.empty() && !tembrolexinsdk::parseJsonText(part, root, true)) root = Json::Value();
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    why = "it nests deeper than it can be read";
    root = Json::Value();
  }
  if (!why.empty() && problem != nullptr) *problem = why;
  return root;
}

Json::Value modifyFileEntryPath(Json::Value actions, const std::string& bundleFolder,
                                std::string* entryFile) {
  const Json::Value& entry = member(actions, "entryPoint");
  if (!entry.isString() || bundleFolder.empty()) return Json::Value();
  std::string path = entry.asString();
  if (path.compare(0, bundleFolder.size(), bundleFolder) != 0) {
    path = FileInfo::addPath(bundleFolder, path);
  }
  if (!tembrolexin::fileio::isUsablePath(path) || !insideFolder(bundleFolder, path) ||
      !FileInfo(path).exists()) {
    return Json::Value();
  }
  actions["entryPoint"] = path;
  if (entryFile) *entryFile = path;
  return actions;
}

std::vector<std::unique_ptr<EventData>> getEngineConfiguration(const Json::Value& actions,
                                                               const std::string& key) {
  std::vector<std::unique_ptr<EventData>> result;
  const Json::Value& groups = member(actions, key.c_str());
  if (!groups.isArray() && !groups.isObject()) return result;
  const EngineType::type engine =
      key == "heartbeatEngine" ? EngineType::HEARTBEAT : EngineType::EVENT2;
  for (const Json::Value& group : groups) {
    const Json::Value& list = member(group, "actions");
    if (!list.isArray() && !list.isObject()) continue;
    for (const Json::Value& action : list) {
      if (!action.isObject()) continue;
      auto data = std::make_unique<EventData>();
      const Json::Value& codeword = action["codeword"];
      data->__set_mediaStreamId(codeword.isInt64() ? codeword.asInt64() : -1);
      const Json::Value& amId = action["am_id"];
      data->__set_mediaStreamAMId(amId.isString() ? amId.asString() : std::string());
      data->__set_eventJson(jsonToString(action));
      const Json::Value& timeout = action["syncTimeoutSecs"];
      data->__set_syncTimeoutSecs(timeout.isInt64() ? timeout.asInt64() : kDefaultSyncTimeoutSecs);
      data->__set_engineType(engine);
      // The generated setters of fields without an explicit requiredness
      // leave the is-set flags alone; every field here counts as given.
      data->__isset.mediaStreamId = data->__isset.mediaStreamAMId = true;
      data->__isset.syncTimeoutSecs = data->__isset.eventJson = data->__isset.engineType = true;
      result.push_back(std::move(data));
    }
  }
  return result;
}

std::vector<std::unique_ptr<EventData>> getEventEngineConfiguration(const Json::Value& actions) {
  return getEngineConfiguration(actions, "eventEngine");
}

std::vector<std::unique_ptr<EventData>> getHeartbeatConfiguration(const Json::Value& actions) {
  return getEngineConfiguration(actions, "heartbeatEngine");
}

std::string jsonToString(const Json::Value& value) {
  Json::FastWriter writer;
  return writer.write(value);
}

bool bundleValid(const Manifest& manifest, const BundleFormatVersion& formatVersion,
                 std::string& error) {
  if (!formatVersion.isSupported()) {
    error = "Bundle " + manifest.bundleId() +
            " is invalid, bundleFormatVersion: " + std::to_string(formatVersion.version()) +
            " is not supported!";
    return false;
  }
  if (manifest.isValid()) return true;
  error = "Bundle " + manifest.bundleId() + " is invalid: missing files: ";
  for (const std::string& file : manifest.getMissingFiles()) error += file + ";";
  return false;
}

std::vector<std::string> getAMDBFilePaths(const Manifest& manifest) {
  const auto& files = manifest.getFiles();
  const auto it = files.find("amdb");
  if (it == files.end()) return {};
  return {it->second.begin(), it->second.end()};
}

std::vector<std::string> getAMDBFilePaths(const std::map<std::string, Manifest>& manifests) {
  std::vector<std::string> all;
  for (const auto& [id, manifest] : manifests) {
    const auto paths = getAMDBFilePaths(manifest);
    all.insert(all.end(), paths.begin(), paths.end());
  }
  return all;
}

void sendAMDBSignal(IThriftProvider* provider, const std::string& senderName,
                    AMDBAction::type action, const std::vector<std::string>& filePaths) {
  if (filePaths.empty() || provider == nullptr) return;
  AMDBSignal signal;
  signal.__set_action(action);
  signal.__set_filepaths(filePaths);
  signal.__isset.action = signal.__isset.filepaths = true;
  provider->sendMessage(senderName, ThriftParamsFactory::createThriftParams(signal));
}

namespace {

// The page `relative` below `folder`, reached without links, gets the script.
Injection injectBelow(const std::string& folder, const std::string& relative,
                      const std::string& script) {
  std::string text;
  if (!tembrolexin::fileio::readContentsBelow(folder, relative, text)) {
    return {Injection::kUnreachable};
  }
  if (text.find(kBridgeMarker) != std::string::npos) return {Injection::kUnchanged};
  if (const size_t head = text.find("<head>"); head != std::string::npos) {
    text.insert(head + 6, script);
  } else if (const size_t body = text.find("<body"); body != std::string::npos) {
    text.insert(body, "<head> " + script + "</head>");
  } else {
    return {Injection::kUnchanged};
  }
  int error = 0;
  if (tembrolexin::fileio::replaceContentsBelow(folder, relative, text, &error)) {
    return {Injection::kPlaced};
  }
  return {Injection::kNotWritten, error};
}

}  // namespace

void injectJavascript(const std::string& entryFile, std::string script) {
  const FileInfo page(entryFile);
  if (entryFile.empty()) return;
  injectBelow(page.path().empty() ? "." : page.path(), page.filename(), script);
}

Injection injectJavascript(const std::string& bundleFolder, const std::string& entryFile,
                           std::string script) {
  if (entryFile.empty() || bundleFolder.empty() || !insideFolder(bundleFolder, entryFile)) {
    return {Injection::kUnreachable};
  }
  return injectBelow(bundleFolder, entryFile.substr(bundleFolder.size()), script);
}

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk
