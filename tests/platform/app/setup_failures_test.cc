// Mistakes new users make in an app's set-up, each made by an app written
// from the README in a child process of its own (the process-wide decoder is
// made once per process): the app hears each within 10 s, as a
// failedWithError, a refusal or a Warning naming the cause, and never waits
// without end. The README app's ordinary run logs no Warning, with the
// analytics url unset and with one that answers, and a reused data folder
// adds none.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/runtime/tl_logger.h"
#include "tests/platform/app/readme_app.h"
#include "tests/support/http_test_server.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;
using namespace std::chrono_literals;

const std::string kScheme = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";
const std::string kAllWords = R"({"low": 0, "high": 1099511627775, "engine": ")";

std::string descriptors(const std::string& config, const std::vector<std::string>& engines) {
  std::string ranges;
  for (const std::string& e : engines) ranges += (ranges.empty() ? "" : ", ") + kAllWords + e + "\"}";
  return R"([{"config": ")" + config + R"(", "ranges": [)" + ranges + "]}]";
}

// The README app's value.
const std::string kReadmeDescriptors = descriptors(kScheme, {"TRIGGER", "ANALYTICS"});

// What the child prints: each thing the app hears on a line of its own
// ("heard failed:...", "heard listening", "refused", "answer N", "decided in
// N ms" from the start to the first of failure and listening), the log on
// standard error ("WRN: ...").
void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

class ChildApp : public TLDecoderDelegate {
 public:
  void initialisationDidComplete() override {}
  void startedListening() override { say("heard listening"), listening = true; }
  void stoppedListening() override { say("heard stopped"), stopped = true; }
  void failedWithError(const std::string& e) override { say("heard failed:" + e), failed = true; }
  void confidenceChangedTo(int64_t) override {}
  std::atomic<bool> listening{false}, stopped{false}, failed{false};
};

// The app's log delegate: the default log, and whether the Error line of a
// failure naming the store has come.
class StoreErrors : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    NSLogLogger::sharedLogger()->logfromSender(sender, params);
    if (params.level == 4 && params.message.find("audiodecoder.db") != std::string::npos) {
      seen = true;
    }
  }
  std::atomic<bool> seen{false};
};

template <typename Done>
bool within(std::chrono::milliseconds limit, Done done) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  return done();
}

// The child: the README app's set-up with the case's mistake, silence for
// audio. argv: case, data folder, analytics url ("-" for none).
int runChild(const std::string& name, const std::string& data, const std::string& url) {
  PlatformEnvironment env;
  env.documentsFolder = data + "/Documents";
  env.keyStoreFolder = data + "/keys";
  env.userDefaultsFile = data + "/defaults.json";
  env.bundleIdentifier = "com.example.app";
  PlatformEnvironment::install(env);

  ConfigDictionary config = {
      {"tembrolexin_VorselTW_DecoderDescriptors", descriptors(kScheme, {"TRIGGER", "ANALYTICS"})},
      {"tembrolexin_VorselTW_CandidateStations", std::string(R"([{"id": 4242, "lag": 0}])")}};
  int rate = name == "Ordinary44k" ? 44100 : 48000;
  if (name == "UnknownPlugin") config["AudioDecoder_plugins"] = std::string("libVorselTWPlugn.so");
  if (name == "RefusedScheme") config["AudioDecoder_plugins"] = std::string("libVorselTWPlugin.so");
  if (name == "RefusedScheme" || name == "MissingSchemeBesideDefaults") {
    config["tembrolexin_VorselTW_DecoderDescriptors"] =
        descriptors(data + "/missing.cfg", {"TRIGGER", "ANALYTICS"});
  }
  if (name == "GarbageSchemeBesideDefaults") {
    std::FILE* file = std::fopen((data + "/garbage.cfg").c_str(), "w");
    std::fputs("hello world\n", file);
    std::fclose(file);
    config["tembrolexin_VorselTW_DecoderDescriptors"] =
        descriptors(data + "/garbage.cfg", {"TRIGGER", "ANALYTICS"});
  }
  if (name == "EmptyDescriptorList")
    config["tembrolexin_VorselTW_DecoderDescriptors"] = std::string("[]");
  if (name == "EmptyDescriptorText")
    config["tembrolexin_VorselTW_DecoderDescriptors"] = std::string();
  if (name == "UnconvertibleRecorder") rate = 22050;
  if (name == "UnreachablePluginRate") {
    config["AudioDecoder_plugins"] = std::string("libVorselTWPlugin.so");
    rate = 8000;
  }
  if (name == "UnknownEngine") {
    config["tembrolexin_VorselTW_DecoderDescriptors"] = descriptors(kScheme, {"TRIGGR", "ANALYTICS"});
  }
  if (name == "NoStations") config.erase("tembrolexin_VorselTW_CandidateStations");
  if (name == "NoAnalyticsRange") {
    config["tembrolexin_VorselTW_DecoderDescriptors"] = descriptors(kScheme, {"TRIGGER"});
  }
  // Values that are no descriptor list.
  const std::map<std::string, std::string> notADescriptorList = {
      {"NotJson", R"([{"config": )"},
      {"NotAList", "{}"},
      {"NumberDescriptor", "[1]"},
      {"NoConfig", R"([{"ranges": []}])"},
      {"NumberConfig", R"([{"config": 5}])"}};
  if (const auto it = notADescriptorList.find(name); it != notADescriptorList.end()) {
    config["tembrolexin_VorselTW_DecoderDescriptors"] = it->second;
  }
  // Values of another kind than text, and texts with more after their value.
  const std::map<std::string, std::pair<std::string, ConfigValue>> otherValues = {
      {"NumberDescriptors", {"tembrolexin_VorselTW_DecoderDescriptors", int32_t{5}}},
      {"TruePlugins", {"AudioDecoder_plugins", true}},
      {"DecimalEngines", {"AudioDecoder_engines", 2.5}},
      {"NumberStations", {"tembrolexin_VorselTW_CandidateStations", int64_t{4242}}},
      // Kinds the core takes for no key: each still reaches the key's rule.
      {"FloatDescriptors", {"tembrolexin_VorselTW_DecoderDescriptors", 2.5f}},
      {"ShortPlugins", {"AudioDecoder_plugins", int16_t{7}}},
      {"UnsignedEngines", {"AudioDecoder_engines", uint64_t{UINT64_MAX}}},
      {"ArrayStations",
       {"tembrolexin_VorselTW_CandidateStations", UnsupportedConfigValue{"array"}}},
      {"DescriptorsThenHello",
       {"tembrolexin_VorselTW_DecoderDescriptors", kReadmeDescriptors + " hello"}},
      {"TwoEngineLists",
       {"AudioDecoder_engines", std::string(R"([{"type": "CONTENT"}][{"type": "EVENT2"}])")}},
      {"StationsThenHello",
       {"tembrolexin_VorselTW_CandidateStations",
        std::string(R"([{"id": 4242, "lag": 0}] hello)")}},
      // The JSON escape of a NUL: the core would open the scheme before it.
      {"NulInConfig",
       {"tembrolexin_VorselTW_DecoderDescriptors",
        descriptors(kScheme + "\\u0000.txt", {"TRIGGER", "ANALYTICS"})}},
      {"LatinMissingScheme",
       {"tembrolexin_VorselTW_DecoderDescriptors",
        descriptors(data + "/lat\xE9in/missing.cfg", {"TRIGGER", "ANALYTICS"})}},
      {"LatinPluginName", {"AudioDecoder_plugins", std::string("libVorsel\xE9.so")}}};
  if (const auto it = otherValues.find(name); it != otherValues.end()) {
    config[it->second.first] = it->second.second;
  }
  if (url != "-") {
    config["AudioDecoder_engines"] = std::string(
        R"([{"type": "CONTENT"}, {"type": "EVENT2"}, {"type": "HEARTBEAT"},
            {"type": "SDKANALYTICS", "url": ")" + url + R"("}])");
  }

  auto decoder = TLDecoder::sharedDecoder();
  decoder->configure(config);
  if (name.rfind("StoreFolder", 0) == 0) {
    std::filesystem::create_directories(data + "/Documents/TL/audiodecoder.db");
    // The device id set before any delegate is added: the initialisation,
    // and its failure, come before the app's delegate is there to hear it.
    auto errors = std::make_shared<StoreErrors>();
    TLLogger::sharedLogger().setDelegate(errors);
    decoder->setDeviceId(-1);
    if (!within(10s, [&] { return errors->seen.load(); })) say("no Error line");
  }
  auto app = std::make_shared<ChildApp>();
  decoder->addDelegate(app);
  auto recorder = decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), rate);
  if (!recorder) {
    say("refused");
    return 0;
  }
  const auto started = std::chrono::steady_clock::now();
  decoder->startDecoding();
  const std::vector<int16_t> block(static_cast<std::size_t>(rate / 10), 0);
  const bool heard = within(10s, [&] {
    recorder->provideSamples(block.data(), static_cast<int32_t>(block.size()));
    return app->listening || app->failed;
  });
  if (!heard) say("nothing heard");
  say("decided in " +
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - started)
                         .count()) +
      " ms");
  if (name == "StoreFolderRemoved") {
    // The cause gone, the next start initialises and listens.
    std::filesystem::remove(data + "/Documents/TL/audiodecoder.db");
    app->failed = false;
    decoder->startDecoding();
    if (!within(10s, [&] {
          recorder->provideSamples(block.data(), static_cast<int32_t>(block.size()));
          return app->listening || app->failed;
        })) {
      say("nothing heard");
    }
  }
  if (app->failed) return 0;
  for (int i = 0; i < 5; ++i) recorder->provideSamples(block.data(), static_cast<int32_t>(block.size()));
  if (name == "NullSamples" || name == "NegativeCount") {
    // Wrong calls, repeated, then a right one.
    const int16_t* at = name == "NullSamples" ? nullptr : block.data();
    const int32_t count = name == "NullSamples" ? 4800 : -4800;
    std::ostringstream shown;
    shown << static_cast<const void*>(at);
    say("pointer " + shown.str());
    std::string answers = "answers";
    for (int i = 0; i < 3; ++i)
      answers += " " + std::to_string(recorder->provideSamples(at, count));
    say(answers + " " + std::to_string(recorder->provideSamples(block.data(), 4800)));
  }
  if (name == "AfterShutdown") {
    TLDecoder::shutdown();
    say("answer " + std::to_string(recorder->provideSamples(block.data(), 10)));
    return 0;
  }
  decoder->stopDecoding();
  within(10s, [&] { return app->stopped.load(); });
  if (url != "-") {
    // The run's record file goes to the service as decoding stops.
    within(10s, [&] {
      std::error_code error;
      return std::filesystem::is_empty(data + "/Documents/TL/Analytics", error);
    });
  }
  return 0;
}

struct ChildRun {
  bool hung = false;
  int status = -1;  // the raw wait status
  std::string out;  // standard output and error, interleaved
  std::chrono::milliseconds took{0};

  std::vector<std::string> linesWith(const std::string& part) const {
    std::vector<std::string> found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      if (line.find(part) != std::string::npos) found.push_back(line);
    }
    return found;
  }
};

// Runs this executable as the child of `name`; kills it after 30 s.
ChildRun runCase(const std::string& name, const std::string& data, const std::string& url = "-") {
  ChildRun run;
  const auto began = std::chrono::steady_clock::now();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execl("/proc/self/exe", "setup_failures_child", "--child", name.c_str(), data.c_str(),
            url.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  char buffer[4096];
  for (;;) {
    const auto left = 30s - (std::chrono::steady_clock::now() - began);
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(
                                        0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count())));
    if (ready <= 0) {
      run.hung = true;
      ::kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    run.out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  ::waitpid(pid, &run.status, 0);
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - began);
  return run;
}

struct Mistake {
  const char* name;
  std::string expected;  // a line of the child's output holds this
  // The start fails instead of listening.
  bool neverListens = false;
  // The start is decided (failed or listening) within this many ms (0: not
  // checked); a refusal is known from the processors' answers, and nothing
  // waits for a processor without one.
  int decidedWithinMs = 0;
  const char* also = nullptr;  // another line, once
};

void PrintTo(const Mistake& m, std::ostream* os) { *os << m.name; }

const char* const kInvalidJson =
    "WRN: tembrolexin_VorselTW: Invalid JSON input in \"tembrolexin_VorselTW_DecoderDescriptors\"";

// The converter's line for a value of a kind the core has no type for.
const char* const kUntyped =
    "ERR: +[ThriftConverter convertWithDictionary:]: Failed to determine the type of a "
    "configuration parameter";

// What the app hears of a VorselTW descriptor value that is no descriptor list.
std::string unreadable(const std::string& why) {
  return "heard failed:No decoder of \"tembrolexin_VorselTW_DecoderDescriptors\" runs: the value "
         "is not a list of decoder descriptors (" + why + ")";
}

const std::string kStoreFolderFailure =
    "heard failed:Database did not open properly. ErrorCode: 14 (DATA/Documents/TL/"
    "audiodecoder.db: unable to open database file (Is a directory))";

class SetupFailure : public testing::TestWithParam<Mistake> {};

TEST_P(SetupFailure, TheAppHearsItNamingTheCause) {
  TempDir dir;
  const ChildRun run = runCase(GetParam().name, dir.path());
  ASSERT_FALSE(run.hung) << run.out;
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.out;
  EXPECT_LT(run.took, 15s) << run.out;  // start-up, 10 s of waiting at most, exit
  std::string expected = std::regex_replace(GetParam().expected, std::regex("DATA"), dir.path());
  const std::vector<std::string> pointer = run.linesWith("pointer ");
  if (!pointer.empty()) {
    expected = std::regex_replace(expected, std::regex("PTR"), pointer[0].substr(8));
  }
  EXPECT_EQ(run.linesWith(expected).size(), 1u) << run.out;
  if (GetParam().also != nullptr) {
    EXPECT_EQ(run.linesWith(GetParam().also).size(), 1u) << run.out;
  }
  EXPECT_TRUE(run.linesWith("nothing heard").empty()) << run.out;
  if (GetParam().neverListens) {
    EXPECT_TRUE(run.linesWith("heard listening").empty()) << run.out;
  }
  if (GetParam().decidedWithinMs > 0) {
    const std::vector<std::string> decided = run.linesWith("decided in ");
    ASSERT_EQ(decided.size(), 1u) << run.out;
    EXPECT_LT(std::stoi(decided[0].substr(decided[0].find(" in ") + 4)), GetParam().decidedWithinMs)
        << run.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, SetupFailure,
    testing::Values(
        Mistake{"UnknownPlugin",
                "heard failed:No audio plug-in runs: \"libVorselTWPlugn.so\" of "
                "AudioDecoder_plugins matches no plug-in of this library; the plug-ins are "
                "\"libEchoModPlugin.so\", \"libVorselTPlugin.so\", \"libVorselTWPlugin.so\"",
                true},
        Mistake{"RefusedScheme",
                "heard failed:No decoder of \"tembrolexin_VorselTW_DecoderDescriptors\" runs: the "
                "decoding core refused every scheme configuration (DATA/missing.cfg: Scheme "
                "configuration: cannot open file DATA/missing.cfg)",
                true, 1000},
        // The default plug-ins decode, the app's own descriptors do not: the
        // start fails all the same.
        Mistake{"MissingSchemeBesideDefaults",
                "heard failed:No decoder of \"tembrolexin_VorselTW_DecoderDescriptors\" runs: the "
                "decoding core refused every scheme configuration (DATA/missing.cfg: Scheme "
                "configuration: cannot open file DATA/missing.cfg)",
                true, 1000},
        Mistake{"GarbageSchemeBesideDefaults",
                "heard failed:No decoder of \"tembrolexin_VorselTW_DecoderDescriptors\" runs: the "
                "decoding core refused every scheme configuration (DATA/garbage.cfg: Scheme "
                "configuration: text: unexpected text between sections)",
                true, 1000},
        // Not a mistake: the plug-in runs nothing, the others decode, and the
        // start waits for no build that never comes.
        Mistake{"EmptyDescriptorList", "heard listening", false, 2500},
        // An empty text is no value: the plug-in keeps its defaults.
        Mistake{"EmptyDescriptorText", "heard listening", false, 2500},
        Mistake{"UnconvertibleRecorder",
                "Cannot create a recorder for 22050 Hz: the decoder takes 8000, 16000, 24000, "
                "32000, 44100, 48000 Hz"},
        Mistake{"UnreachablePluginRate",
                "heard failed:The recorder's 8000 Hz cannot be converted to the 16000 Hz of the "
                "plug-in \"tembrolexin_VorselTW\"",
                true},
        Mistake{"UnknownEngine",
                "WRN: tembrolexin_VorselTW: Engine \"TRIGGR\" of a range in "
                "\"tembrolexin_VorselTW_DecoderDescriptors\" matches no engine; its words go "
                "nowhere (the engines are \"ANALYTICS\", \"AUDIOMATCH\", \"CONTENT\", \"EVENT\", "
                "\"EVENT2\", \"HEARTBEAT\", \"PLUGIN\", \"TRIGGER\")"},
        Mistake{"NoStations",
                "WRN: tembrolexin_VorselTW: The decoders of "
                "\"tembrolexin_VorselTW_DecoderDescriptors\" wait for candidate stations, and "
                "\"tembrolexin_VorselTW_CandidateStations\" is not configured"},
        Mistake{"NoAnalyticsRange",
                "wait for candidate stations, which only a descriptor with an \"ANALYTICS\" "
                "range receives"},
        // Refused as a whole, with the Warning: the default descriptors would
        // send the words to ANALYTICS only, and the app would hear nothing.
        Mistake{"NotJson",
                unreadable("not JSON: Syntax error: value, object or array expected. (byte 12)"),
                true, 1000, kInvalidJson},
        Mistake{"NotAList", unreadable("not a list"), true, 1000, kInvalidJson},
        Mistake{"NumberDescriptor", unreadable("descriptor 1 is not an object"), true, 1000,
                kInvalidJson},
        Mistake{"NoConfig", unreadable("descriptor 1 has no \"config\""), true, 1000,
                kInvalidJson},
        Mistake{"NumberConfig", unreadable("\"config\" of descriptor 1 is not a text"), true,
                1000, kInvalidJson},
        // Values of another kind than text: refused, failing the start, or
        // (candidate stations) absent, each heard with its key and kind.
        Mistake{"NumberDescriptors",
                unreadable("not a text but an integer: 5"), true, 1000,
                "WRN: tembrolexin_VorselTW: \"tembrolexin_VorselTW_DecoderDescriptors\" is not a "
                "text but an integer: 5; the value is refused"},
        Mistake{"TruePlugins",
                "heard failed:No audio plug-in runs: AudioDecoder_plugins is not a text but a "
                "boolean: true; the plug-ins are \"libEchoModPlugin.so\", \"libVorselTPlugin.so\", "
                "\"libVorselTWPlugin.so\"",
                true},
        // Heard as an unreadable list: no engine runs.
        Mistake{"DecimalEngines",
                "ERR: AudioDecoder: Engine list is not a JSON list: AudioDecoder_engines is not a "
                "text but a decimal number: 2.5"},
        Mistake{"NumberStations",
                "WRN: tembrolexin_VorselTW: \"tembrolexin_VorselTW_CandidateStations\" is not a "
                "text but an integer: 4242; it is ignored",
                false, 0, "\"tembrolexin_VorselTW_CandidateStations\" is not configured"},
        // The kinds the core has no type for: the converter's Error line, and
        // the key's own rule naming the key and the kind.
        Mistake{"FloatDescriptors", unreadable("not a text but a float: 2.5"), true, 1000,
                "WRN: tembrolexin_VorselTW: \"tembrolexin_VorselTW_DecoderDescriptors\" is not a "
                "text but a float: 2.5; the value is refused"},
        Mistake{"ShortPlugins",
                "heard failed:No audio plug-in runs: AudioDecoder_plugins is not a text but a "
                "short: 7; the plug-ins are \"libEchoModPlugin.so\"",
                true, 0, kUntyped},
        Mistake{"UnsignedEngines",
                "ERR: AudioDecoder: Engine list is not a JSON list: AudioDecoder_engines is not a "
                "text but an unsigned 64-bit number: 18446744073709551615",
                false, 0, kUntyped},
        Mistake{"ArrayStations",
                "WRN: tembrolexin_VorselTW: \"tembrolexin_VorselTW_CandidateStations\" is not a "
                "text but a value of kind \"array\"; it is ignored",
                false, 0, "\"tembrolexin_VorselTW_CandidateStations\" is not configured"},
        // Text after the value makes it unreadable, naming the byte where it
        // starts: the list's length and a blank on.
        Mistake{"DescriptorsThenHello",
                unreadable("not JSON: Extra non-whitespace after JSON value. (byte " +
                           std::to_string(kReadmeDescriptors.size() + 1) + ")"),
                true, 1000, kInvalidJson},
        Mistake{"TwoEngineLists",
                "ERR: AudioDecoder: Engine list is not a JSON list: [{\"type\": \"CONTENT\"}]"
                "[{\"type\": \"EVENT2\"}] (not JSON: Extra non-whitespace after JSON value. "
                "(byte 21))"},
        Mistake{"StationsThenHello",
                "WRN: tembrolexin_VorselTW: Invalid JSON input in "
                "\"tembrolexin_VorselTW_CandidateStations\" (not JSON: Extra non-whitespace after "
                "JSON value. (byte 25))"},
        Mistake{"NulInConfig",
                unreadable("\"config\" of descriptor 1 holds a NUL byte: \"" + kScheme +
                           "\\x00.txt\""),
                true, 1000, kInvalidJson},
        // Bytes that are not UTF-8 are escaped where they are quoted, so
        // that the text still reaches the app.
        Mistake{"LatinMissingScheme",
                "heard failed:No decoder of \"tembrolexin_VorselTW_DecoderDescriptors\" runs: the "
                "decoding core refused every scheme configuration (DATA/lat\\xE9in/missing.cfg: "
                "Scheme configuration: cannot open file DATA/lat\\xE9in/missing.cfg)",
                true, 1000},
        Mistake{"LatinPluginName",
                "heard failed:No audio plug-in runs: \"libVorsel\\xE9.so\" of AudioDecoder_plugins "
                "matches no plug-in of this library",
                true},
        // The initialisation fails before the app's delegate is added. The
        // start is answered all the same, once: its own try at the
        // initialisation answers it, and without that try the answer a start
        // gets after a failure that reset the decoder would, so this row
        // fails only when both are gone.
        Mistake{"StoreFolder", kStoreFolderFailure, true, 2000},
        // The start's try keeps the configurations of the failed
        // initialisation: with the folder gone the next start listens.
        Mistake{"StoreFolderRemoved", kStoreFolderFailure, false, 2000, "heard listening"},
        Mistake{"AfterShutdown", "answer 6"},
        // Never taken (not 1, on which an app feeds again), logged once.
        Mistake{"NullSamples",
                "ERR: CustomRecorder: provideSamples(samples null, count 4800) refused: null "
                "samples with a positive count; such a call is never taken (logged once per "
                "recorder)",
                false, 0, "answers 5 5 5 0"},
        Mistake{"NegativeCount",
                "ERR: CustomRecorder: provideSamples(samples PTR, count -4800) refused: a "
                "negative count; such a call is never taken (logged once per recorder)",
                false, 0, "answers 5 5 5 0"}),
    [](const testing::TestParamInfo<Mistake>& info) { return std::string(info.param.name); });

// The README app's ordinary run: no Warning but the resampler's for a
// 44.1 kHz recorder (its conversions are not by a whole factor), and ten
// runs on one data folder log what the first does.
TEST(OrdinaryRun, LogsNoWarningWithoutAnalyticsUrlAndAgainOnAReusedFolder) {
  TempDir dir;
  for (int run = 0; run < 10; ++run) {
    const ChildRun child = runCase("Ordinary48k", dir.path());
    ASSERT_FALSE(child.hung) << child.out;
    EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.out;
    ASSERT_EQ(child.linesWith("heard listening").size(), 1u) << child.out;
    EXPECT_EQ(child.linesWith("WRN:"), std::vector<std::string>()) << "run " << run;
  }
  // The files are kept, one per run.
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.file("Documents/TL/Analytics"))) {
    files += e.path().filename().string().rfind("sdk_", 0) == 0;
  }
  EXPECT_EQ(files, 10u);

  TempDir other;
  const ChildRun child = runCase("Ordinary44k", other.path());
  // One per plug-in (in no fixed order): VorselTW's 16 kHz, VorselT's and
  // EchoMod's 8 kHz.
  std::vector<std::string> warnings = child.linesWith("WRN:");
  std::sort(warnings.begin(), warnings.end());
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "WRN: Resampler: Converting using using non-integer decimation from 44.1kHz to 16kHz",
                "WRN: Resampler: Converting using using non-integer decimation from 44.1kHz to 8kHz",
                "WRN: Resampler: Converting using using non-integer decimation from 44.1kHz to 8kHz"}))
      << child.out;
}

TEST(OrdinaryRun, LogsNoWarningWithAnAnalyticsUrlThatAnswers) {
  HttpTestServer service;
  service.handle("*", [&](const HttpRecordedRequest& request) {
    return request.method == "POST" ? replyWith(200, service.url("/signed")) : replyWith(200);
  });
  TempDir dir;
  for (int run = 0; run < 2; ++run) {
    const ChildRun child = runCase("Ordinary48k", dir.path(), service.url("/analytics/upload"));
    ASSERT_FALSE(child.hung) << child.out;
    EXPECT_EQ(child.linesWith("WRN:"), std::vector<std::string>()) << child.out;
  }
  // Each run's file: asked for an address, then put there.
  const std::vector<HttpRecordedRequest> requests = service.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[1].method + " " + requests[1].path, "PUT /signed");
}

}  // namespace
}  // namespace tltest

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--child") {
    const int status = tltest::runChild(argv[2], argv[3], argv[4]);
    std::fflush(nullptr);
    return status;  // the library shuts down at exit
  }
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::fflush(nullptr);
  std::_Exit(result);
}
