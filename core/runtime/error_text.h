// errorText: the system's description of an errno value, safe to call from
// any thread (std::strerror may share one buffer between threads).
#ifndef TL_CORE_RUNTIME_ERROR_TEXT_H_
#define TL_CORE_RUNTIME_ERROR_TEXT_H_

#include <string>

namespace tembrolexin {

// Returns the text for `error`, or "Unknown error N" for a value the system
// does not know.
std::string errorText(int error);

}  // namespace tembrolexin

#endif  // TL_CORE_RUNTIME_ERROR_TEXT_H_
