// IConfigurationParameter: one configuration value (a scalar, a list or a
// whole map). Its kind is its dynamic type. Values are plain data, used by one
// thread at a time.
#ifndef TL_CORE_RUNTIME_I_CONFIGURATION_PARAMETER_H_
#define TL_CORE_RUNTIME_I_CONFIGURATION_PARAMETER_H_

#include <map>
#include <string>

namespace tembrolexinsdk {

class IConfigurationParameter {
 public:
  // A new, independent copy that the caller owns. (First slot, before the
  // destructor.)
  virtual IConfigurationParameter* cloneParam() const = 0;
  virtual ~IConfigurationParameter() = default;
  // The value as text.
  virtual std::string GetValueAsString() const = 0;
  // True when the two values differ; a null or foreign `other` differs.
  virtual bool operator!=(const IConfigurationParameter* other) const = 0;
};

// A plain configuration: keys (ordered by bytes) and their values. Handed to
// processors and engines for the duration of a call; the caller owns the
// values.
using ConfigurationParameters = std::map<const std::string, const IConfigurationParameter*>;

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_CONFIGURATION_PARAMETER_H_
