// The coded item that an active object's SignalQueue carries. Components
// derive their own signals from it to add a payload; the code tells a state
// function which kind of signal it holds.
//
// Ownership: a signal belongs to its producer until it is pushed onto a
// queue, then to whoever takes it out; it is deleted through this class's
// virtual destructor. Not thread-safe by itself: one owner at a time.
#ifndef TL_CORE_RUNTIME_STATE_SIGNAL_H_
#define TL_CORE_RUNTIME_STATE_SIGNAL_H_

#include <cstdint>

namespace tembrolexinsdk {

class StateSignal {
 public:
  StateSignal() = default;
  explicit StateSignal(int code) : code_(code) {}
  virtual ~StateSignal() = default;

  StateSignal(const StateSignal&) = default;
  StateSignal& operator=(const StateSignal&) = default;

  int GetCode() const { return code_; }
  void SetCode(int code) { code_ = code; }

 private:
  std::int32_t code_ = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_STATE_SIGNAL_H_
