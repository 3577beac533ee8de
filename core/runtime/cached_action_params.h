// CachedActionParams: one content bundle's actions, as the bundle cache
// reports them to the engines through the decoder's onProcessorEvent. A
// configure (unconfigure false) is reported when a bundle becomes ready, an
// unconfigure (unconfigure true, usually with an empty actions text) when a
// ready bundle is withdrawn.
//
// It lives with the runtime's params so that the bundle cache, which makes
// these events, and the engines, which consume them, both reach it.
//
// A plain value held through its interface; `clone` returns a new heap copy
// that the caller owns. Thread safety: none inside; const objects may be read
// by several threads at once.
#ifndef TL_CORE_RUNTIME_CACHED_ACTION_PARAMS_H_
#define TL_CORE_RUNTIME_CACHED_ACTION_PARAMS_H_

#include <string>
#include <utility>

#include "core/runtime/i_processor_params.h"
#include "core/runtime/processor_params.h"

namespace tembrolexinsdk {

class CachedActionParams : public IProcessorEventParams {
 public:
  CachedActionParams(std::string bundleId, std::string bundleName, std::string actionsJson,
                     std::string bundleFolder, bool unconfigure)
      : bundleId(std::move(bundleId)),
        bundleName(std::move(bundleName)),
        actionsJson(std::move(actionsJson)),
        bundleFolder(std::move(bundleFolder)),
        unconfigure(unconfigure) {}
  CachedActionParams(const CachedActionParams&) = default;
  CachedActionParams& operator=(const CachedActionParams&) = delete;

  IProcessorEventParams* clone() const override { return new CachedActionParams(*this); }
  // "CachedActionParams".
  std::string GetParamsDescription() const override { return "CachedActionParams"; }

  static const CachedActionParams* Cast(const IProcessorEventParams* p) {
    return castParams<CachedActionParams>(p);
  }
  static CachedActionParams* Cast(IProcessorEventParams* p) {
    return castParams<CachedActionParams>(p);
  }

  const std::string bundleId;     // the bundle's id (from its manifest)
  const std::string bundleName;   // the base name of the bundle's folder
  const std::string actionsJson;  // the full text of the bundle's "actions.json"
  const std::string bundleFolder; // the bundle's folder among the ready bundles
  const bool unconfigure;         // true: the bundle was withdrawn
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_CACHED_ACTION_PARAMS_H_
