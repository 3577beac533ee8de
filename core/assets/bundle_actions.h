// Stateless helpers that the cache processor uses while it installs and
// withdraws bundles: reading a bundle's "actions.json", making its entry page
// absolute, turning its "eventEngine" and "heartbeatEngine" sections into
// EventData registrations, judging whether a bundle is valid, building the
// audio-match database messages and placing the script bridge in the entry
// page.
//
// JSON of an unexpected type never throws: a member of the wrong type counts
// as absent, and an action that is not an object is left out. The entry page
// is only ever looked for inside the bundle folder.
//
// Thread safety: every function may be called from any thread; concurrent
// calls on the same files are not coordinated.
#ifndef TL_CORE_ASSETS_BUNDLE_ACTIONS_H_
#define TL_CORE_ASSETS_BUNDLE_ACTIONS_H_

#include <json/json.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/assets/bundle_format_version.h"
#include "core/assets/manifest.h"
#include "core/runtime/i_thrift_provider.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

// Default of an action's "syncTimeoutSecs".
inline constexpr int64_t kDefaultSyncTimeoutSecs = 30;

// The file parsed as JSON; "{}" (an empty object) when the file does not
// exist. When the file is there but is no readable JSON object, `*problem`
// (when not null) says why, and the value holds what is sound of it:
//   - a text that breaks off (a cut file) or goes wrong reads as if it ended
//     after the last member or element read to its end, its open objects and
//     arrays closed; the object within an array that was being read when it
//     broke off (an action, say) is left out whole, so no half-read value (a
//     cut number, an action without its codeword) is passed on; null when
//     the text opens no object or array;
//   - a JSON value that is no object is returned as it is;
//   - a file that cannot be read (not a plain file, no permission) is null.
// Otherwise `*problem` is left alone.
Json::Value parseJsonFile(const std::string& path, std::string* problem = nullptr);

// `actions` with its "entryPoint" made a full path inside `bundleFolder` (a
// relative name is joined to the folder; a path that already begins with the
// folder is kept). A null value when there is no string "entryPoint", when
// it climbs out of the folder, or when no file exists there. On success the
// path also goes to `*entryFile` when that is not null.
Json::Value modifyFileEntryPath(Json::Value actions, const std::string& bundleFolder,
                                std::string* entryFile);

// One EventData per action object of every group listed under `key`
// ("eventEngine": engine type EVENT2, "heartbeatEngine": HEARTBEAT), in
// order; groups and their "actions" may be arrays or objects (values in
// order). All five fields are set: stream id from "codeword" (else -1),
// audio-match id from "am_id" (else ""), "syncTimeoutSecs" (else 30), and the
// action object itself in compact form.
std::vector<std::unique_ptr<EventData>> getEngineConfiguration(const Json::Value& actions,
                                                               const std::string& key);
std::vector<std::unique_ptr<EventData>> getEventEngineConfiguration(const Json::Value& actions);
std::vector<std::unique_ptr<EventData>> getHeartbeatConfiguration(const Json::Value& actions);

// The compact form: no white space between tokens, members in the value's
// own order, one line feed at the end.
std::string jsonToString(const Json::Value& value);

// True for a supported format version and a valid manifest. Otherwise false,
// with `error` set to the reason:
//   "Bundle <id> is invalid, bundleFormatVersion: <n> is not supported!"
//   "Bundle <id> is invalid: missing files: <a>;<b>;"
// `error` is left alone when the bundle is valid.
bool bundleValid(const Manifest& manifest, const BundleFormatVersion& formatVersion,
                 std::string& error);

// The "amdb" files of a manifest, in its order; of a map of manifests, all of
// them concatenated in ascending order of the keys.
std::vector<std::string> getAMDBFilePaths(const Manifest& manifest);
std::vector<std::string> getAMDBFilePaths(const std::map<std::string, Manifest>& manifests);

// Sends an AMDBSignal with only `action` and `filePaths` set (type 22) under
// `senderName`; nothing when `filePaths` is empty or `provider` is null.
void sendAMDBSignal(IThriftProvider* provider, const std::string& senderName,
                    AMDBAction::type action, const std::vector<std::string>& filePaths);

// The text that marks a page as already carrying the script bridge.
inline constexpr const char* kBridgeMarker = "tembrolexin = (function()";

// What injectJavascript did with a page.
struct Injection {
  enum Outcome {
    kPlaced,       // the page now carries the script
    kUnchanged,    // it already did, or it has neither "<head>" nor "<body"
    kUnreachable,  // no regular file reached without a link: left alone
    kNotWritten,   // the new page could not be written (a full disk): left whole
  };
  Outcome outcome;
  // The system's error number of kNotWritten; 0 when there is none.
  int error = 0;
};

// Places `script` in the page `entryFile`: right after the first "<head>",
// or else as "<head> " + script + "</head>" right before the first "<body";
// nothing when the page has neither, or already holds kBridgeMarker. The page
// is replaced through a new file that is synced and renamed over it, so a
// failed write or a crash leaves it whole; when no new file can be made the
// page stays as it is (never written in place). Only a regular file reached
// without following a link is read or written: with `bundleFolder`, every
// component from that folder down (the entry file must lie below it);
// without, the page's own name. The first form never reports an error.
void injectJavascript(const std::string& entryFile, std::string script);
Injection injectJavascript(const std::string& bundleFolder, const std::string& entryFile,
                           std::string script);

// The script element of the page bridge: the global object `tembrolexin`.
const std::string& tembrolexinJsString();

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_BUNDLE_ACTIONS_H_
