// A WebEngine double: records each call as a line of text, keeps the client
// of the latest view so a test can play the page's side, and can fail
// evaluations.
#ifndef TL_TESTS_PLATFORM_ENGINES_RECORDING_WEB_ENGINE_H_
#define TL_TESTS_PLATFORM_ENGINES_RECORDING_WEB_ENGINE_H_

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/engines/tl_wk_web_view.h"

namespace tltest {

class RecordingWebEngine : public tembrolexinplatform::WebEngine {
 public:
  struct Log {
    std::mutex mutex;
    std::vector<std::string> calls;
    tembrolexinplatform::WebEngineClient* client = nullptr;
    std::optional<std::string> evaluationError;

    void add(std::string line) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(std::move(line));
    }
    std::vector<std::string> take() {
      std::lock_guard<std::mutex> lock(mutex);
      return std::exchange(calls, {});
    }
    // The scripts evaluated so far, in order (not taken).
    std::vector<std::string> scripts() {
      std::lock_guard<std::mutex> lock(mutex);
      std::vector<std::string> out;
      for (const auto& c : calls) {
        if (c.rfind("eval:", 0) == 0) out.push_back(c.substr(5));
      }
      return out;
    }
  };

  explicit RecordingWebEngine(std::shared_ptr<Log> log) : log_(std::move(log)) {}

  void createView(const std::vector<std::string>& handlers,
                  tembrolexinplatform::WebEngineClient* client) override {
    std::string line = "create:";
    for (std::size_t i = 0; i < handlers.size(); ++i) line += (i ? "," : "") + handlers[i];
    log_->client = client;
    log_->add(line);
  }
  void loadFile(const std::string& path, const std::string& folder) override {
    log_->add("load:" + path + "|" + folder);
  }
  void evaluateScript(const std::string& script,
                      std::function<void(std::optional<std::string>)> completion) override {
    log_->add("eval:" + script);
    if (completion) completion(log_->evaluationError);
  }
  void attach() override { log_->add("attach"); }
  void remove() override { log_->add("remove"); }

 private:
  std::shared_ptr<Log> log_;
};

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_ENGINES_RECORDING_WEB_ENGINE_H_
