// Outcome: what a writer reported, filled on the performing thread and read by
// the test thread (await waits in real time, 10 s cap).
#ifndef TL_TESTS_CORE_NET_OUTCOME_UTIL_H_
#define TL_TESTS_CORE_NET_OUTCOME_UTIL_H_

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "core/net/http_writer.h"

namespace tltest {

struct Outcome {
  std::mutex mutex;
  std::condition_variable cv;
  int calls = 0;
  std::string body;  // body, or path for file writers
  long status = 0;
  int error = 0;  // 0 = onDone was called
  std::thread::id thread;

  void done(const std::string& b, long s) { set(b, s, 0); }
  void failed(int code) { set("", 0, code); }
  void set(const std::string& b, long s, int e) {
    std::lock_guard<std::mutex> lock(mutex);
    ++calls;
    body = b;
    status = s;
    error = e;
    thread = std::this_thread::get_id();
    cv.notify_all();
  }
  bool await(int count = 1) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return calls >= count; });
  }

  std::unique_ptr<tembrolexinsdk::Http::Writer<std::stringstream>> stringWriter() {
    return std::make_unique<tembrolexinsdk::Http::Writer<std::stringstream>>(
        [this](const std::string& b, long s) { done(b, s); }, [this](int c) { failed(c); });
  }
  std::unique_ptr<tembrolexinsdk::Http::Writer<std::fstream>> fileWriter(
      const std::string& path, std::ios::openmode mode, int keepFileName) {
    return std::make_unique<tembrolexinsdk::Http::Writer<std::fstream>>(
        path, mode, [this](const std::string& p, long s) { done(p, s); },
        [this](int c) { failed(c); }, keepFileName);
  }
};

}  // namespace tltest

#endif  // TL_TESTS_CORE_NET_OUTCOME_UTIL_H_
