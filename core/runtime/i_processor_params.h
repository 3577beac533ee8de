// Polymorphic parameter objects that processors hand to their listener.
//
// Ownership: whoever hands a params object over keeps it; the receiver sees it
// only for the duration of the call and clones what it keeps. Receivers tell
// the kinds apart by dynamic type. Instances are not synchronised; a params
// object is used by one thread at a time.
#ifndef TL_CORE_RUNTIME_I_PROCESSOR_PARAMS_H_
#define TL_CORE_RUNTIME_I_PROCESSOR_PARAMS_H_

#include <string>

namespace tembrolexinsdk {

// An event (a decoded code word, prepared files, a serialised message, a
// configuration map, ...). Note the slot order: clone comes first.
class IProcessorEventParams {
 public:
  // A new copy that the caller owns.
  virtual IProcessorEventParams* clone() const = 0;
  virtual ~IProcessorEventParams() = default;
  virtual std::string GetParamsDescription() const = 0;
};

// A status change (idle, a list of status texts, a failure).
class IProcessorStatusParams {
 public:
  virtual ~IProcessorStatusParams() = default;
  // A new copy that the caller owns.
  virtual IProcessorStatusParams* clone() = 0;
  virtual std::string GetDescription() const = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_PROCESSOR_PARAMS_H_
