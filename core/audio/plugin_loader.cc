#include "core/audio/plugin_loader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/audio/base_audio_processor.h"
#include "core/audio/default_descriptors.h"
#include "core/audio/hybrid_audio_processor.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

namespace pluginloader {

namespace {

std::string shortName(const EncodingSchemeInfo& info) {
  return info.shortName != nullptr ? info.shortName : "";
}

}  // namespace

bool acceptsGeneralSchemes(const EncodingSchemeInfo& info) {
  const std::string name = shortName(info);
  return name != "VT" && name != "VTW" && name.rfind("CA", 0) != 0;
}

bool acceptsVorselT(const EncodingSchemeInfo& info) { return shortName(info) == "VT"; }

bool acceptsVorselTW(const EncodingSchemeInfo& info) { return shortName(info) == "VTW"; }

bool acceptsHybridSchemes(const EncodingSchemeInfo& info) {
  return shortName(info).rfind("CA", 0) == 0;
}

}  // namespace pluginloader

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kLoaderName = *new std::string("IOSPluginLoader");
constexpr std::chrono::milliseconds kPingInterval(250);

struct CodewordRow {
  const char* plugin;
  const char* processor;
  SampleRate rate;
  bool (*filter)(const EncodingSchemeInfo&);
};

constexpr CodewordRow kCodewordRows[] = {
    {"libEchoModPlugin.so", "tembrolexin_EchoMod", SampleRate_8000,
     pluginloader::acceptsGeneralSchemes},
    {"libVorselTPlugin.so", "tembrolexin_VorselT", SampleRate_8000, pluginloader::acceptsVorselT},
    {"libVorselTWPlugin.so", "tembrolexin_VorselTW", SampleRate_16000,
     pluginloader::acceptsVorselTW},
    {"libDBPlugin.so", "tembrolexin_DB", SampleRate_16000, pluginloader::acceptsGeneralSchemes},
};

std::unique_ptr<IAudioProcessor> makeBuiltIn(const std::string& plugin) {
  for (const CodewordRow& row : kCodewordRows) {
    if (plugin != row.plugin) continue;
    auto processor =
        std::make_unique<BaseAudioProcessor>(row.processor, row.rate, true, kPingInterval);
    processor->setSchemeFilter(row.filter);
    processor->setDecoderDescriptors(defaultDecoderDescriptors(row.processor));
    return processor;
  }
  if (plugin == "libHybridPlugin.so") {
    return std::make_unique<HybridAudioProcessor>("tembrolexin_Hybrid", SampleRate_16000, true,
                                                  kPingInterval);
  }
  return nullptr;
}

}  // namespace

PluginRegistry& PluginRegistry::instance() {
  static PluginRegistry* registry = new PluginRegistry();  // lives for the whole run
  return *registry;
}

void PluginRegistry::registerProcessor(const std::string& name, ProcessorFactory factory) {
  std::lock_guard lock(mutex_);
  processors_[name] = std::move(factory);
}

void PluginRegistry::registerAudioProcessor(const std::string& name, AudioFactory factory) {
  std::lock_guard lock(mutex_);
  audioProcessors_[name] = std::move(factory);
}

void PluginRegistry::unregister(const std::string& name) {
  std::lock_guard lock(mutex_);
  processors_.erase(name);
  audioProcessors_.erase(name);
}

PluginRegistry::ProcessorFactory PluginRegistry::processorFactory(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto it = processors_.find(name);
  return it == processors_.end() ? ProcessorFactory() : it->second;
}

PluginRegistry::AudioFactory PluginRegistry::audioFactory(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto it = audioProcessors_.find(name);
  return it == audioProcessors_.end() ? AudioFactory() : it->second;
}

std::vector<std::string> PluginRegistry::names() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [name, factory] : processors_) out.push_back(name);
  for (const auto& [name, factory] : audioProcessors_) {
    if (processors_.count(name) == 0) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

IOSPluginLoader::IOSPluginLoader() { logWithLogger<LogLevel::Debug>(this, "constructor entry"); }

IOSPluginLoader::~IOSPluginLoader() { logWithLogger<LogLevel::Debug>(this, "destructor entry"); }

const std::string& IOSPluginLoader::GetName() const { return kLoaderName; }

std::vector<std::unique_ptr<IAudioProcessor>> IOSPluginLoader::loadAudioPlugins(
    const std::string&, const std::vector<std::string>& names) {
  std::vector<std::unique_ptr<IAudioProcessor>> out;
  for (const std::string& name : names) {
    std::unique_ptr<IAudioProcessor> processor = makeBuiltIn(name);
    if (!processor) {
      if (auto factory = PluginRegistry::instance().audioFactory(name)) processor = factory();
    }
    if (processor) out.push_back(std::move(processor));
  }
  return out;
}

std::vector<std::unique_ptr<IProcessor>> IOSPluginLoader::loadProcessorPlugins(
    const std::string&, const std::vector<std::string>& names) {
  std::vector<std::unique_ptr<IProcessor>> out;
  for (const std::string& name : names) {
    if (auto factory = PluginRegistry::instance().processorFactory(name)) {
      if (std::unique_ptr<IProcessor> processor = factory()) out.push_back(std::move(processor));
    }
  }
  return out;
}

std::vector<std::string> knownPluginNames() {
  std::vector<std::string> names;
  for (const CodewordRow& row : kCodewordRows) names.emplace_back(row.plugin);
  names.emplace_back("libHybridPlugin.so");
  for (std::string& name : PluginRegistry::instance().names()) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
  }
  return names;
}

std::unique_ptr<IPluginLoader> createPluginLoader() { return std::make_unique<IOSPluginLoader>(); }

bool isKnownPluginName(const std::string& name) {
  for (const CodewordRow& row : kCodewordRows) {
    if (name == row.plugin) return true;
  }
  if (name == "libHybridPlugin.so") return true;
  const PluginRegistry& registry = PluginRegistry::instance();
  return registry.audioFactory(name) != nullptr || registry.processorFactory(name) != nullptr;
}

}  // namespace tembrolexinsdk
