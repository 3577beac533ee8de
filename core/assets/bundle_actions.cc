#include "core/assets/bundle_actions.h"

#include <exception>
#include <new>
#include <utility>

#include "core/assets/bundle_paths.h"
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

}  // namespace

Json::Value parseJsonFile(const std::string& path) {
  const FileInfo file(path);
  const std::string text = file.exists() ? file.contents() : std::string("{}");
  Json::Value root;
  try {
    tembrolexinsdk::parseJsonText(text, root, /*collectComments=*/true);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    root = Json::Value();  // nesting beyond the reader's limit
  }
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
