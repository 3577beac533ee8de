// Runs the page bridge, as injected into a page, in a real JavaScript engine
// (node), with stand-ins for the web view's message handlers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "core/assets/bundle_actions.h"
#include "tests/support/temp_dir.h"

namespace {

namespace cp = tembrolexinsdk::cacheprocessor;

std::string findNode() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = dir + "/node";
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Every handler call, console error and callback becomes one output line.
constexpr char kHarness[] = R"JS(
const vm = require('vm');
const code = require('fs').readFileSync(process.argv[2], 'utf8');
const out = [];
function make(agent) {
  const handler = name => ({postMessage: m => out.push(name + ' ' + m)});
  const sandbox = {
    navigator: {userAgent: agent},
    window: {webkit: {messageHandlers: {sendMessage: handler('ios.sendMessage'),
        sendMessageInternal: handler('ios.sendMessageInternal'),
        closeView: handler('ios.closeView')}}},
    AndroidWebView: {
      sendMessage: m => out.push('android.sendMessage ' + m),
      sendMessageInternal: m => out.push('android.sendMessageInternal ' + m),
      closeView: (...args) => out.push('android.closeView ' + args.length)},
    console: {error: (text, e) => out.push('console.error ' + text + ': ' + e.message)},
  };
  vm.createContext(sandbox);
  vm.runInContext(code, sandbox);
  return sandbox.tembrolexin;
}
function brief(label, agent) {
  out.push('-- ' + label);
  const t = make(agent);
  t.sendMessage({a: 1});
  t.store('k', 2, r => out.push('stored ' + r));
  t.emit('storeData-k', 'ok');
  t.closeView();
}
function run(label, agent) {
  out.push('-- ' + label);
  const t = make(agent);
  out.push(Object.keys(t).join(','));
  t.sendMessage({a: 1, b: 'x'});
  t.store('k', {v: 2}, r => out.push('stored ' + JSON.stringify(r)));
  t.load('k', r => out.push('load1 ' + r));
  t.load('k', r => out.push('load2 ' + r));
  t.emit('loadData-k', 'v1');
  t.emit('loadData-k', 'v2');
  t.emit('storeData-k', {success: true});
  t.store('', 1, r => out.push('empty ' + JSON.stringify(r)));
  t.load(null, r => out.push('null ' + JSON.stringify(r)));
  t.closeView();
}
run('ios', 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X)');
brief('android', 'Mozilla/5.0 (Linux; ANDROID 14; Pixel)');
brief('desktop', 'Mozilla/5.0 (X11; Linux x86_64)');

out.push('-- events');
const t = make('ipad');
t.on('e', v => out.push('first ' + v));
t.on('e', () => { throw new Error('boom'); });
t.on('e', () => out.push('not reached'));
t.emit('e', 1);
t.emit('none', 1);
t.on('constructor', v => out.push('constructor ' + v));
t.emit('constructor', 2);
t.getInitialState(s => out.push('early ' + s));
t.setInitialState(0);
t.getInitialState(s => out.push('between ' + s));
t.setInitialState('S');
t.getInitialState(s => out.push('late ' + s));
try { t.setInitialState('T'); } catch (e) { out.push('threw ' + e.message); }
t.getInitialState(s => out.push('still ' + s));
console.log(out.join('\n'));
)JS";

constexpr char kExpected[] = R"(-- ios
on,emit,getInitialState,sendMessage,closeView,setInitialState,store,load
ios.sendMessage {"a":1,"b":"x"}
ios.sendMessageInternal {"key":"k","action":"storeData","value":{"v":2}}
ios.sendMessageInternal {"key":"k","action":"loadData"}
ios.sendMessageInternal {"key":"k","action":"loadData"}
load1 v1
load2 v1
load1 v2
load2 v2
stored {"success":true}
empty {"success":false}
null {"success":false}
ios.closeView Closing webview!
-- android
android.sendMessage {"a":1}
android.sendMessageInternal {"key":"k","action":"storeData","value":2}
stored ok
android.closeView 0
-- desktop
stored ok
-- events
first 1
console.error Callback failed: boom
constructor 2
early 0
between S
late S
threw Initial state already set
still S
)";

TEST(ScriptBridge, BehavesInAJavaScriptEngine) {
  const std::string node = findNode();
  if (node.empty()) GTEST_SKIP() << "node is not installed";
  tltest::TempDir dir;

  // The script as it lands in a page.
  const std::string page = dir.file("index.html");
  std::ofstream(page) << "<html><head></head><body></body></html>";
  cp::injectJavascript(page, cp::tembrolexinJsString());
  std::ifstream in(page);
  const std::string html(std::istreambuf_iterator<char>(in), {});
  const std::string open = "<script type=\"text/javascript\">";
  const size_t start = html.find(open);
  const size_t end = html.find("</script>");
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  std::ofstream(dir.file("bridge.js"))
      << html.substr(start + open.size(), end - start - open.size());
  std::ofstream(dir.file("harness.js")) << kHarness;

  const std::string command =
      "'" + node + "' '" + dir.file("harness.js") + "' '" + dir.file("bridge.js") + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, n);
  EXPECT_EQ(::pclose(pipe), 0) << output;
  EXPECT_EQ(output, kExpected);
}

}  // namespace
