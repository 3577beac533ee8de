// The messages of the content engine: ContentSignal (type 4) for actions,
// stream status, decoder status and reception quality, and the
// JavascriptMessage (type 26) replies to a page's storage requests.
//
// Stateless apart from the tables and mutex handed in; any thread.
#ifndef TL_CORE_ENGINES_CONTENT_SIGNALS_H_
#define TL_CORE_ENGINES_CONTENT_SIGNALS_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/engines/content_actions.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/thrift_params.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {
namespace contentengine {

ContentSignal makeContentSignal(const std::string& bundleId, const std::string& actionId,
                                int64_t timestamp, const std::string& emitKey,
                                const std::string& emitValue, int64_t timeInTrack);

// Reception quality: only emitKey "performance" and emitValue
// {"confidence", "signalStrength", "volume"} are set. `confidence` is the
// decoder's sync state: 1 low, 2 medium, 3 high, anything else unknown.
ContentSignal makePerformanceDataSignal(int32_t confidence, int16_t signalStrength,
                                        int16_t volume);

// {"status": status} in the styled form, for emitKey "decoder".
std::string decoderStatusJson(const std::string& status);

JavascriptMessage makeJavascriptMessage(JavascriptMessageType::type type,
                                        const std::string& bundleId, const std::string& key,
                                        const std::string& content);

// The signals one SyncEngineSignal calls for, in order: for a sync or a
// desync the stream status first, then the matching actions of the stream's
// list that are not completed and whose window holds the position; for a
// timed event the event's action unless completed; for anything else none.
// Tables are copied from under `mutex`, which is not held on return.
std::vector<std::unique_ptr<ThriftParams>> getActionsForEvent(const SyncEngineSignal& signal,
                                                              const ActionMap& timed,
                                                              const ActionListMap& sync,
                                                              const ActionListMap& desync,
                                                              tembrolexin::Mutex& mutex);

}  // namespace contentengine
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_CONTENT_SIGNALS_H_
