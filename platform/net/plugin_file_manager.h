// TLPluginFileManager: the uploads of one decoder plug-in's prepared files.
//
// Each CheckedFilePreparedEventSignal (a map from a file's full path to the
// plug-in's check data for it) becomes one signed multipart upload per file,
// queued with the network manager in the map's order, with the form fields
//   "tl_enduser_id"       the delegate's device id ("%d")
//   "tl_upload_ts"        "" (stamped at each attempt)
//   "tl_upload_origin"    the plug-in name
//   <the plug-in's file field>  the file itself
//   "tl_upload_seq"       the file's sequence number
//   "tl_upload_hash"      the plug-in's checksum: the check data in hex, or
//                         else the side file <path without extension>.md5
//                         (17 bytes or more: its text; shorter: its bytes in
//                         hex; missing: "ffff")
//   "tl_framework_hash"   MD5 of the file's bytes, 32 lower-case hex digits
//   "tl_upload_signature" the device's base64 signature of the file's bytes
// A file that cannot be read is queued all the same, with "(null)" in the
// last two fields and an empty file part.
//
// Sequence numbers are per plug-in, start at 1, are used when a file is
// queued (whether or not its upload succeeds) and are kept in the user
// defaults under "<plug-in>_meta_sequenceNum" between runs. A message's
// numbers are taken from that counter in one step under the defaults file's
// locks (UserDefaults::takeNumbers), so no two managers of a plug-in, in one
// process or in several, take the same number.
//
// A file and its side file are deleted when the upload completes with 200,
// or with 400 when the network manager gave it up under
// deleteAfterMaxAttempts (not when that setting is off). A failed attempt
// that will be retried never deletes: the retry sends the same file.
//
// Ownership: holds its delegate strongly and the network manager and user
// defaults by shared reference; the network manager holds this object
// weakly as owner of its uploads.
//
// Thread safety: uploadFiles runs on the bus thread, the outcomes on the main
// queue; the sequence number and the name are guarded by the object's lock,
// which is never held while calling the network manager.
#ifndef TL_PLATFORM_NET_PLUGIN_FILE_MANAGER_H_
#define TL_PLATFORM_NET_PLUGIN_FILE_MANAGER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "platform/messages/message_types.h"
#include "platform/net/network_manager.h"
#include "platform/runtime/data_signer.h"
#include "platform/runtime/platform_environment.h"

namespace tembrolexinplatform {

class TLPluginFileManagerDelegate {
 public:
  virtual ~TLPluginFileManagerDelegate() = default;
  // Negative until the app set one.
  virtual int32_t deviceId() = 0;
};

class TLPluginFileManager final : public TLNetworkManagerDelegate,
                                  public std::enable_shared_from_this<TLPluginFileManager> {
 public:
  struct Options {
    // Null: TLNetworkManager::getInstance().
    std::shared_ptr<TLNetworkManager> networkManager;
    // Null: UserDefaults::standard().
    std::shared_ptr<UserDefaults> defaults;
    // Empty: the installed environment's key store.
    std::string keyStoreFolder;
  };

  // Reads the next sequence number and logs Debug "Next sequence number will
  // be %i".
  static std::shared_ptr<TLPluginFileManager> initWithPluginName(
      const std::string& pluginName, std::shared_ptr<TLPluginFileManagerDelegate> delegate,
      Options options = {});

  void uploadFiles(const CheckedFilePreparedEventSignal& message);
  // Whether the network manager holds an upload of this plug-in's queue.
  bool isUploading() const;

  void requestComplete(const std::string& url, const FormParams& params, int32_t responseCode,
                       const std::string& responseMessage, const std::string& receivedData,
                       const std::string& serverTime) override;
  void requestFailed(const std::string& url, const FormParams& params, int32_t responseCode,
                     const std::string& responseMessage, const std::string& receivedData,
                     const std::string& serverTime) override;

  // Two lower-case hex digits per byte.
  static std::string NSDataToHex(const std::string& bytes);
  // <path without its extension, dot kept>md5.
  static std::string sideFilePath(const std::string& filePath);

  std::string pluginName() const;
  void setPluginName(const std::string& name);
  std::string sequenceNumberKey() const;
  // The number after the last this manager took; before it took any, the
  // one stored when it was made.
  int64_t nextSequenceNumber() const;

 private:
  struct Passkey {};

 public:
  TLPluginFileManager(Passkey, const std::string& pluginName,
                      std::shared_ptr<TLPluginFileManagerDelegate> delegate, Options options);

 private:
  std::string pluginChecksum(const std::string& filePath, const std::string& checkData) const;
  // `final`: the network manager's last word on the upload.
  void handleOutcome(const FormParams& params, int32_t responseCode, bool final);
  void removeFile(const std::string& path, const std::string& label) const;

  const std::shared_ptr<TLPluginFileManagerDelegate> delegate_;
  const std::shared_ptr<TLNetworkManager> networkManager_;
  const std::shared_ptr<UserDefaults> defaults_;
  const std::string keyStoreFolder_;

  mutable tembrolexin::Mutex mutex_;
  std::string pluginName_;
  std::string sequenceKey_;
  int64_t nextSequence_ = 1;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_PLUGIN_FILE_MANAGER_H_
