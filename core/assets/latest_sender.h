// LatestSender: hands readings of a changing state (the bundle list of a
// folder) from several threads to one send, so that the last reading sent
// is always the newest. Each reading is numbered before it is taken; one
// whose number is below that of a reading already sent or waiting is
// dropped. A thread that finds another one sending leaves its reading to
// that one, which sends it after its own: no thread waits for another's
// send, and no lock is held while `send` runs (it may read and publish
// again itself).
//
// Thread safety: every member may be called from any thread.
#ifndef TL_CORE_ASSETS_LATEST_SENDER_H_
#define TL_CORE_ASSETS_LATEST_SENDER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/thrift_params.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

class LatestSender {
 public:
  using Send = std::function<void(std::unique_ptr<ThriftParams>)>;

  // The number of a reading about to be taken: a reading that begins after
  // a change shows it, so the higher number is never the older picture.
  uint64_t begin();
  // Sends `reading`, numbered `ticket`, through `send` (here or on the
  // thread that is sending), unless a later-numbered one was sent or waits.
  // What `send` throws reaches the caller of the publish that ran it.
  void publish(uint64_t ticket, std::unique_ptr<ThriftParams> reading, const Send& send);

 private:
  tembrolexin::Mutex mutex_;
  uint64_t begun_ = 0;                     // readings numbered so far
  uint64_t newest_ = 0;                    // newest reading sent or waiting
  std::unique_ptr<ThriftParams> waiting_;  // for the sending thread
  bool sending_ = false;
};

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_LATEST_SENDER_H_
