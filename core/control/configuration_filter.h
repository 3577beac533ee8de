// The selection of configuration entries for one engine or processor
// controller, by the receiver's name n (length len):
//   - prefix: the key begins with n (no separator needed: "CONTENTS_x" is
//     selected for "CONTENT");
//   - neighbour: the key is longer than len, the last "_" at an index not
//     above len stands at len - 1 or len, and the key matches n up to it
//     ("EVENT_x" for "EVENT2");
//   - wildcard: the key contains "*_meta_"; it is left out when the map also
//     holds n followed by the key without its "*" (the receiver's own meta
//     key wins). Keys keep their full text.
//
// Stateless; any thread.
#ifndef TL_CORE_CONTROL_CONFIGURATION_FILTER_H_
#define TL_CORE_CONTROL_CONFIGURATION_FILTER_H_

#include <memory>
#include <string>

#include "core/runtime/configuration_map.h"

namespace tembrolexinsdk {

// Whether `key` is selected for `name` (the wildcard rule without the
// override check).
bool configurationKeyMatches(const std::string& key, const std::string& name);
// A new map holding copies of the entries of `map` selected for `name`;
// empty for a null map.
std::unique_ptr<ConfigurationMap> filterConfigMap(const ConfigurationMap* map,
                                                  const std::string& name);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_CONFIGURATION_FILTER_H_
