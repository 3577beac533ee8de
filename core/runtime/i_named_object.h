// INamedObject: anything with a fixed name (processors, engines, recorders,
// the bus, ...). Log lines carry the name as their sender.
#ifndef TL_CORE_RUNTIME_I_NAMED_OBJECT_H_
#define TL_CORE_RUNTIME_I_NAMED_OBJECT_H_

#include <string>
#include <utility>

namespace tembrolexinsdk {

class INamedObject {
 public:
  virtual ~INamedObject() = default;
  // The name fixed at construction; valid as long as the object lives.
  virtual const std::string& GetName() const = 0;
};

// The sender of log lines written by code without an object of its own (a
// reader, a factory, a callback that may outlive its object).
class FixedName final : public INamedObject {
 public:
  explicit FixedName(std::string name) : name_(std::move(name)) {}
  const std::string& GetName() const override { return name_; }

 private:
  const std::string name_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_NAMED_OBJECT_H_
