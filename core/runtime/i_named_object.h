// INamedObject: anything with a fixed name (processors, engines, recorders,
// the bus, ...). Log lines carry the name as their sender.
#ifndef TL_CORE_RUNTIME_I_NAMED_OBJECT_H_
#define TL_CORE_RUNTIME_I_NAMED_OBJECT_H_

#include <string>

namespace tembrolexinsdk {

class INamedObject {
 public:
  virtual ~INamedObject() = default;
  // The name fixed at construction; valid as long as the object lives.
  virtual const std::string& GetName() const = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_NAMED_OBJECT_H_
