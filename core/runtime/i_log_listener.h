// ILogListener: receives log lines under a sender's name (for instance an
// audio processor controller that takes the lines of the plug-ins it runs).
// Calls arrive on the logging thread; implementations synchronise themselves.
#ifndef TL_CORE_RUNTIME_I_LOG_LISTENER_H_
#define TL_CORE_RUNTIME_I_LOG_LISTENER_H_

#include <string>

namespace tembrolexinsdk {

class LogParams;

class ILogListener {
 public:
  virtual ~ILogListener() = default;
  // `params` stays the caller's and is valid only for the call.
  virtual void onLog(std::string senderName, const LogParams* params) = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_LOG_LISTENER_H_
