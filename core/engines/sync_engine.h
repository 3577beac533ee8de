// SyncEngine: the frame that the two sync engines share ("EVENT2" for
// EVENT2 tracks and audio matches, "HEARTBEAT" for broadcast stations).
//
// An engine keeps event sequences per media stream (EventData messages of
// its own engine type, from the bus or as processor events), recognises
// positions in a stream from code words and partial code words meant for it,
// and drives its Machine over its own Timing. Everything it reports
// (SyncEngineSignal messages, priorities) goes to its listener's
// onProcessorEvent with the engine as sender: sync and desync messages on the
// thread that delivered the code, timed events, ticks and time-out desyncs on
// the Timing's thread.
//
// Ownership: the engine owns its Timing and Machine; the listener and the
// messenger are not owned and must outlive it. The destructor leaves the bus
// and stops and joins the Timing before the Machine goes.
//
// Thread safety: every operation may be called from any thread; the Machine
// guards the shared state. processEventParams and onReceive never throw.
#ifndef TL_CORE_ENGINES_SYNC_ENGINE_H_
#define TL_CORE_ENGINES_SYNC_ENGINE_H_

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/engines/machine.h"
#include "core/engines/media_stream.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_engine.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/processor_params.h"
#include "core/runtime/timing.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

class SyncEngine : public IEngine, public IMessengerListener {
 public:
  // Where time comes from: tests pass a fake clock and a manual Timing.
  struct Environment {
    const Clock* clock = &Clock::real();
    TimingMode mode = TimingMode::kThreaded;
  };

  ~SyncEngine() override;
  SyncEngine(const SyncEngine&) = delete;
  SyncEngine& operator=(const SyncEngine&) = delete;

  const std::string& GetName() const override { return name_; }
  void setEngineParameters(const ConfigurationMap*) override {}
  // The params to pass on, or null when this engine consumed them: its own
  // EventData and its affirm request.
  const IProcessorEventParams* processEventParams(const IProcessorEventParams* params) override;
  void Configure(const ConfigurationParameters*) override {}
  // Desynchronises without a desync message.
  void stop() override { machine_->stop(); }
  // EventData (type 1) from the bus.
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

  Machine& machine() { return *machine_; }
  Timing& timing() { return *timing_; }

 protected:
  // What tells the two engines apart.
  struct Traits {
    std::string name;
    EngineType::type engineType;
    // Debug line after a sequence was registered (followed by the stream).
    std::string registeredText;
  };

  SyncEngine(Traits traits, IProcessorListener* listener, IMessenger* messenger,
             Environment environment);

  // Whether `codeword` belongs to this engine; if so its stream id and its
  // offset (in code-word periods).
  virtual bool splitCodeword(int64_t codeword, int64_t& id, int64_t& offset) const = 0;
  // The stream position at which the word `offset` (as splitCodeword gave
  // it) starts, for words of `durationMs`: offset x durationMs here.
  virtual int64_t wordStart(int64_t offset, int64_t durationMs) const;
  // An event's "time" (seconds) as its stream position and its epoch
  // position (-1 when it has none); false to skip the event.
  virtual bool eventPosition(double seconds, int64_t& position, int64_t& epochPosition) const = 0;
  // The priorities entry of a codeword stream, and the event that carries
  // the priorities text.
  virtual Json::Value priorityEntry(int64_t id) const = 0;
  virtual std::unique_ptr<IProcessorEventParams> priorities(std::string text) const = 0;
  // Engine-specific events (affirm, audio match); true when consumed.
  virtual bool handleOwnEvent(const IProcessorEventParams* params, bool& consumed) = 0;

  // `stampMs` is the capture time of what named the position, on the core's
  // up-time (the time base of every steady time stamp): the clock starts at
  // the position advanced by the time since.
  void synchronise(const MediaStream& stream, int64_t position, int64_t stampMs);
  void selectPriorities();
  int64_t upTimeMillis() const { return clock_.upTimeMillis(); }
  const Clock& clock() const { return clock_; }
  IProcessorListener* listener() const { return listener_; }

 private:
  void dispatch(const IProcessorEventParams* params, bool& consumed);
  void handleEventData(const EventData& data);
  bool registerEventSequenceWithID(const MediaStream& stream, const std::string& json,
                                   int64_t timeoutSecs);
  void handleCodeword(const CodewordEventParams& codeword);
  void handlePartialCodeword(const ThriftParams& params);
  void send(std::unique_ptr<ThriftParams> message);

  const Traits traits_;
  const std::string name_;
  const Clock& clock_;
  IProcessorListener* const listener_;
  IMessenger* const messenger_;
  // The Timing outlives the Machine's use of it: both are reset in order by
  // the destructor.
  std::unique_ptr<Timing> timing_;
  std::unique_ptr<Machine> machine_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_SYNC_ENGINE_H_
