// A bundle's entry page with the injected script bridge, run in a real
// browser (headless Chromium): the web view's three message handlers are
// stubbed by a script that records every posted body into the document and
// answers load and store requests with the scripts our host evaluates for the
// core's answers. The test reads the dumped document. Skipped when chromium
// is not installed.

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/assets/bundle_actions.h"
#include "platform/engines/tl_wk_web_view.h"
#include "tests/platform/engines/content_fixtures.h"
#include "tests/platform/engines/recording_web_engine.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

const char kChromium[] = "/usr/bin/chromium";

class StatusDelegate : public TLWebViewContentDelegate {
 public:
  bool canWebViewClose(const std::shared_ptr<TLBundle>&) override { return true; }
  void notifyCloseWebview(const std::shared_ptr<TLBundle>&) override {}
  void sendMessage(const std::string&, int64_t, const std::string&) override {}
  std::string getCurrentNetworkStatusString() override { return "{\"id\":\"ReachableViaWiFi\"}"; }
};

std::string jsString(const std::string& text) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  return Json::writeString(b, Json::Value(text));
}

// Runs chromium on the page and returns what it printed on standard output.
std::string dumpDom(const std::string& page, const std::string& profile) {
  const std::string cmd = std::string("timeout 120 ") + kChromium +
                          " --headless --no-sandbox --disable-gpu --no-first-run"
                          " --user-data-dir=" + profile +
                          " --user-agent='Mozilla/5.0 (iPhone; CPU iPhone OS 16_0 like Mac OS X)'"
                          " --virtual-time-budget=3000 --dump-dom file://" + page + " 2>/dev/null";
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  pclose(p);
  return out;
}

std::vector<std::string> recordedLines(const std::string& dom) {
  const std::string open = "<pre id=\"out\">";
  const std::size_t a = dom.find(open);
  const std::size_t b = dom.find("</pre>", a);
  std::vector<std::string> lines;
  if (a == std::string::npos || b == std::string::npos) return lines;
  std::istringstream in(dom.substr(a + open.size(), b - a - open.size()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(PageBridgeBrowserTest, SendStoreLoadEventsAndCloseRoundTrip) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  tltest::TempDir dir;
  const std::string page = dir.file("b1/index.html");
  ASSERT_EQ(system(("mkdir -p " + dir.file("b1")).c_str()), 0);

  // The scripts our host evaluates: the initial state at load, the core's
  // answers to the store and load requests, and an app message.
  tltest::ManualDispatch m;
  NotificationCenter center;
  auto log = std::make_shared<tltest::RecordingWebEngine::Log>();
  auto host = TLWKWebView::create(std::make_unique<tltest::RecordingWebEngine>(log),
                                  {&m.dispatcher, &center, dir.path()});
  auto delegate = std::make_shared<StatusDelegate>();
  host->setDelegate(delegate);
  auto bundle = std::make_shared<TLBundle>("b1");
  TLBundleAction::Fields fields;
  fields.actionId = "a1";
  TLBundleAction action(bundle, fields);
  action.setTimeStamp(5);
  host->emit("action", action.getJSON(), page, bundle);
  host->emit("storeData-k1", "{\"success\":true}", "", nullptr);
  host->emit("loadData-k1", "{\"success\":true,\"value\":\"v1\"}", "", nullptr);
  host->emit("message", "{\"n\":1}", std::nullopt, nullptr);
  m.run();
  const std::vector<std::string> scripts = log->scripts();
  ASSERT_EQ(scripts.size(), 4u);

  const std::string stub =
      "var out = document.getElementById('out');\n"
      "function rec(name, text) { out.textContent += name + '|' + text + '\\n'; }\n"
      "var replies = {};\n"
      "replies['{\"key\":\"k1\",\"action\":\"storeData\",\"value\":\"v1\"}'] = " +
      jsString(scripts[1]) + ";\n"
      "replies['{\"key\":\"k1\",\"action\":\"loadData\"}'] = " + jsString(scripts[2]) + ";\n"
      "window.webkit = {messageHandlers: {\n"
      "  sendMessage: {postMessage: function(b) { rec('sendMessage', b); }},\n"
      "  sendMessageInternal: {postMessage: function(b) {\n"
      "    rec('sendMessageInternal', b);\n"
      "    if (replies[b]) (0, eval)(replies[b]);\n"
      "  }},\n"
      "  closeView: {postMessage: function(b) { rec('closeView', b); }}\n"
      "}};\n";
  const std::string pageCode =
      "tembrolexin.getInitialState(function(s) { rec('state', JSON.stringify(s)); });\n"
      "tembrolexin.on('message', function(v) { rec('event', JSON.stringify(v)); });\n"
      "window.addEventListener('load', function() {\n"
      "  tembrolexin.sendMessage({hello: 'world'});\n"
      "  tembrolexin.store('k1', 'v1', function(r) {\n"
      "    rec('stored', JSON.stringify(r));\n"
      "    tembrolexin.load('k1', function(r2) {\n"
      "      rec('loaded', JSON.stringify(r2));\n"
      "      (0, eval)(" + jsString(scripts[3]) + ");\n"
      "      tembrolexin.closeView();\n"
      "    });\n"
      "  });\n"
      "});\n";
  {
    std::ofstream f(page);
    f << "<html><head><title>Bundle</title></head><body><pre id=\"out\"></pre>\n"
      << "<script>" << stub << "</script>\n"
      << "<script>" << scripts[0] << "</script>\n"
      << "<script>" << pageCode << "</script>\n</body></html>\n";
  }
  tembrolexinsdk::cacheprocessor::injectJavascript(
      page, tembrolexinsdk::cacheprocessor::tembrolexinJsString());

  const std::vector<std::string> lines = recordedLines(dumpDom(page, dir.file("profile")));
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "state|{\"netStatus\":\"{\\\"id\\\":\\\"ReachableViaWiFi\\\"}\","
                "\"action\":{\"id\":\"a1\",\"timestamp\":5}}",
                "sendMessage|{\"hello\":\"world\"}",
                "sendMessageInternal|{\"key\":\"k1\",\"action\":\"storeData\",\"value\":\"v1\"}",
                "stored|{\"success\":true}",
                "sendMessageInternal|{\"key\":\"k1\",\"action\":\"loadData\"}",
                "loaded|{\"success\":true,\"value\":\"v1\"}",
                "event|{\"n\":1}",
                "closeView|Closing webview!",
            }));
}

}  // namespace
}  // namespace tembrolexinplatform
