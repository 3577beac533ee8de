// The generator streamed: the same audio as the whole-recording generator,
// in memory that does not grow with the recording's length.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/decoder_library.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_run.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"
#include "tools/signal/signal_stream.h"

namespace tltest {
namespace {

using Context = std::unique_ptr<tembrolexinsdk::DecoderLibraryContext,
                                void (*)(tembrolexinsdk::DecoderLibraryContext*)>;

Context load(const std::string& scheme) {
  const std::string path = std::string(TL_TEST_DATA_DIR) + "/" + scheme;
  return Context(tembrolexinsdk::Tembrolexin_Init2(path.c_str(), 1),
                 tembrolexinsdk::Tembrolexin_Close);
}

std::vector<int16_t> readAll(SignalStream& stream) {
  std::vector<int16_t> all, block(1000);  // blocks that cut chunks anywhere
  for (std::size_t n; (n = stream.read(block.data(), block.size())) > 0;) {
    all.insert(all.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return all;
}

struct StreamCase {
  const char* name;
  const char* scheme;
  int32_t outputRate;
  HostKind host;
};

class SignalStreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(SignalStreamTest, RendersWhatTheWholeGeneratorRenders) {
  Context ctx = load(GetParam().scheme);
  ASSERT_TRUE(ctx);
  const tembrolexinsdk::SchemeConfig& cfg = *tembrolexinsdk::getEchoModParameters(ctx.get(), 0);
  GeneratorOptions options;
  options.seed = 9;
  options.host = GetParam().host;
  options.hostSamples = {500, -1200, 3000, 7, -4000, 2500, -800};
  options.outputRateHz = GetParam().outputRate;
  options.leadIn = 17000;  // past one chunk of the stream
  options.tail = 3000;
  const std::vector<int64_t> words = {0x55555};
  const GeneratedSignal whole = generateSignal(cfg, words, options);
  ASSERT_FALSE(whole.samples.empty());
  SignalStream stream(cfg, words, options);
  ASSERT_TRUE(stream.valid());
  EXPECT_EQ(stream.rateHz(), whole.rateHz);
  EXPECT_EQ(stream.size(), static_cast<int64_t>(whole.samples.size()));
  const std::vector<int16_t> streamed = readAll(stream);
  ASSERT_EQ(streamed.size(), whole.samples.size());
  std::size_t differ = 0;
  for (std::size_t i = 0; i < streamed.size(); ++i) differ += streamed[i] != whole.samples[i];
  EXPECT_EQ(differ, 0u);
  ASSERT_EQ(stream.words().size(), whole.words.size());
  for (std::size_t w = 0; w < whole.words.size(); ++w) {
    EXPECT_EQ(stream.words()[w].value, words[w]);
    EXPECT_EQ(stream.words()[w].firstSample, whole.words[w].firstSample);
    EXPECT_EQ(stream.words()[w].lastSample, whole.words[w].lastSample);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, SignalStreamTest,
    testing::Values(StreamCase{"TwoBandsOwnRate", "scheme_t2_vtw.cfg", 0, HostKind::kWhite},
                    StreamCase{"TwoBandsAt48k", "scheme_t2_vtw.cfg", 48000, HostKind::kWhite},
                    StreamCase{"TwoBandsAt44k", "scheme_t2_vtw.cfg", 44100, HostKind::kWhite},
                    StreamCase{"OneBandAt44k", "scheme_t1_vt.cfg", 44100, HostKind::kWhite},
                    StreamCase{"GivenHostAt48k", "scheme_t1_vt.cfg", 48000, HostKind::kGiven}),
    [](const testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

// tl_gen writes the generator's audio with addNoise's noise, in every channel.
TEST(GenStreamTest, NoisyStereoFileHoldsTheWholeGeneratorsSamples) {
  TempDir dir;
  const ToolRun run =
      runTool(TL_GEN_PATH,
              {"--snr", "3", "--seed", "4", "--lead-in", "3", "--rate", "44100", "--channels", "2",
               std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg", dir.file("n.wav"), "77"},
              dir);
  ASSERT_EQ(run.status, 0) << run.errors;
  Context ctx = load("scheme_t2_vtw.cfg");
  GeneratorOptions options;
  options.seed = 4;
  options.leadIn = 3 * 16000;
  options.tail = 16000;
  options.outputRateHz = 44100;
  GeneratedSignal whole =
      generateSignal(*tembrolexinsdk::getEchoModParameters(ctx.get(), 0), {77}, options);
  addNoise(&whole.samples, 44100, 3, NoiseKind::kWhite, 5, 100, 44100 / 2 - 100);
  const std::string file = readFile(dir.file("n.wav"));
  ASSERT_EQ(file.size(), 44 + whole.samples.size() * 4);
  std::size_t differ = 0;
  for (std::size_t i = 0; i < whole.samples.size(); ++i) {
    for (std::size_t c = 0; c < 2; ++c) {
      const auto* p = reinterpret_cast<const unsigned char*>(file.data()) + 44 + i * 4 + c * 2;
      differ += static_cast<int16_t>(p[0] | p[1] << 8) != whole.samples[i];
    }
  }
  EXPECT_EQ(differ, 0u);
}

// Ten minutes at 48 kHz with noise under a 200 MB address-space limit (the
// whole recording in doubles would take 230 MB). Sanitizers reserve far more
// address space than that for themselves: there the limit says nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
TEST(GenStreamTest, DISABLED_TenMinutesAt48kHzRenderIn200MBOfAddressSpace) {}
#else
TEST(GenStreamTest, TenMinutesAt48kHzRenderIn200MBOfAddressSpace) {
  TempDir dir;
  const std::string out = dir.file("long.wav");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit limit{200u << 20, 200u << 20};
    ::setrlimit(RLIMIT_AS, &limit);
    const std::string scheme = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";
    ::execl(TL_GEN_PATH, TL_GEN_PATH, "--snr", "10", "--rate", "48000", "--lead-in", "600",
            "--tail", "0", scheme.c_str(), out.c_str(), "1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  // 600 s of lead-in and one word of 20 frames of 512 quarter-ms symbols
  // (2.56 s) at 16 kHz, 3 output samples per channel sample, less the two
  // the resampler's last input instant leaves out.
  const uint64_t channel = 600 * 16000 + 20 * 2048;
  EXPECT_EQ(std::filesystem::file_size(out), 44 + 2 * (3 * (channel - 1) + 1));
}
#endif

}  // namespace
}  // namespace tltest
