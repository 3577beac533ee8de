// The plug-in loader: the app names the decoder plug-ins to run by library
// file name; no library is loaded at run time. Each known name maps to a
// processor built into the system, made with a fixed name, preferred rate
// and scheme filter.
//
// The audio plug-ins ("libEchoModPlugin.so", "libVorselTPlugin.so",
// "libVorselTWPlugin.so", "libDBPlugin.so", "libHybridPlugin.so") are built
// in. Other processors (such as the bundle cache's "libCacheEngine.so") join
// through the PluginRegistry, which the assembly layer fills, so that this
// library does not link them.
//
// Thread safety: the loader holds no state; the registry is locked, so rows
// may be added from any thread.
#ifndef TL_CORE_AUDIO_PLUGIN_LOADER_H_
#define TL_CORE_AUDIO_PLUGIN_LOADER_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/decoder/encoding_schemes.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor.h"

namespace tembrolexinsdk {

class IPluginLoader : public INamedObject {
 public:
  ~IPluginLoader() override = default;
  virtual void setLibraryPath(const std::string& path) = 0;
  virtual bool hasValidLibraryPath() = 0;
  // One processor per name that matches a row, in the order of `names`; the
  // caller owns them. Names without a row are skipped.
  virtual std::vector<std::unique_ptr<IAudioProcessor>> loadAudioPlugins(
      const std::string& libraryPath, const std::vector<std::string>& names) = 0;
  virtual std::vector<std::unique_ptr<IProcessor>> loadProcessorPlugins(
      const std::string& libraryPath, const std::vector<std::string>& names) = 0;
};

// Rows of processors that are not built into this library, by plug-in name.
class PluginRegistry {
 public:
  using ProcessorFactory = std::function<std::unique_ptr<IProcessor>()>;
  using AudioFactory = std::function<std::unique_ptr<IAudioProcessor>()>;

  static PluginRegistry& instance();

  // Adds or replaces the row of `name`.
  void registerProcessor(const std::string& name, ProcessorFactory factory);
  void registerAudioProcessor(const std::string& name, AudioFactory factory);
  void unregister(const std::string& name);

  // The factory of `name`, or an empty function.
  ProcessorFactory processorFactory(const std::string& name) const;
  AudioFactory audioFactory(const std::string& name) const;
  // Every registered name, audio or not, in name order.
  std::vector<std::string> names() const;

 private:
  mutable tembrolexin::Mutex mutex_;
  std::map<std::string, ProcessorFactory> processors_;
  std::map<std::string, AudioFactory> audioProcessors_;
};

// The loader of this system: ignores library paths and builds its rows.
class IOSPluginLoader : public IPluginLoader {
 public:
  IOSPluginLoader();
  ~IOSPluginLoader() override;

  const std::string& GetName() const override;
  void setLibraryPath(const std::string&) override {}
  bool hasValidLibraryPath() override { return true; }
  std::vector<std::unique_ptr<IAudioProcessor>> loadAudioPlugins(
      const std::string& libraryPath, const std::vector<std::string>& names) override;
  std::vector<std::unique_ptr<IProcessor>> loadProcessorPlugins(
      const std::string& libraryPath, const std::vector<std::string>& names) override;
};

std::unique_ptr<IPluginLoader> createPluginLoader();

// Whether `name` is a plug-in that IOSPluginLoader loads: a built-in row or
// one of the registry's, audio or not.
bool isKnownPluginName(const std::string& name);
// Every name isKnownPluginName accepts: the built-in rows, then the
// registry's.
std::vector<std::string> knownPluginNames();

namespace pluginloader {

// The scheme filters of the plug-ins, by the scheme's short name: every
// scheme but "VT", "VTW" and the "CA" schemes; only "VT"; only "VTW"; only
// the "CA" schemes.
bool acceptsGeneralSchemes(const EncodingSchemeInfo& info);
bool acceptsVorselT(const EncodingSchemeInfo& info);
bool acceptsVorselTW(const EncodingSchemeInfo& info);
bool acceptsHybridSchemes(const EncodingSchemeInfo& info);

}  // namespace pluginloader

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_PLUGIN_LOADER_H_
