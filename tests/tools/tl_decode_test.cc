#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/signal/wav_file.h"

extern char** environ;

namespace tltest {
namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void chunk(Bytes& b, const char* id, const Bytes& body, bool pad) {
  b.insert(b.end(), id, id + 4);
  put32(b, static_cast<uint32_t>(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  if (pad && body.size() % 2 == 1) b.push_back(0);
}

// A mono 8 kHz 16-bit WAV with an odd-sized "LIST" chunk before its data of
// samples 1, -2, 300.
Bytes wavWithOddChunk(bool pad) {
  Bytes fmt;
  put16(fmt, 1);      // PCM
  put16(fmt, 1);      // channels
  put32(fmt, 8000);   // rate
  put32(fmt, 16000);  // bytes per second
  put16(fmt, 2);      // block align
  put16(fmt, 16);     // bits
  Bytes data;
  for (int16_t s : {int16_t{1}, int16_t{-2}, int16_t{300}}) put16(data, static_cast<uint16_t>(s));
  Bytes body = {'W', 'A', 'V', 'E'};
  chunk(body, "fmt ", fmt, pad);
  chunk(body, "LIST", {'a', 'b', 'c'}, pad);
  chunk(body, "data", data, pad);
  Bytes wav = {'R', 'I', 'F', 'F'};
  put32(wav, static_cast<uint32_t>(body.size()));
  wav.insert(wav.end(), body.begin(), body.end());
  return wav;
}

class OddChunkTest : public ::testing::TestWithParam<bool> {};

TEST_P(OddChunkTest, DataAfterAnOddChunkIsFoundWithOrWithoutThePadByte) {
  Audio audio;
  std::string error;
  ASSERT_TRUE(parseWav(wavWithOddChunk(GetParam()), &audio, &error)) << error;
  EXPECT_EQ(audio.rateHz, 8000);
  EXPECT_EQ(audio.samples, (std::vector<int16_t>{1, -2, 300}));
}

INSTANTIATE_TEST_SUITE_P(Wav, OddChunkTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Padded" : "PadByteMissing";
                         });

// ---- the tool itself --------------------------------------------------------------------

struct ToolRun {
  int status = -1;
  std::string errors;
};

// Runs tl_decode with `args`; its standard error is collected in a file.
ToolRun runDecode(const std::vector<std::string>& args, const TempDir& dir) {
  const std::string errPath = dir.file("stderr.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> all = {TL_DECODE_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  ToolRun run;
  pid_t pid = 0;
  if (posix_spawn(&pid, TL_DECODE_PATH, &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  std::ifstream in(errPath);
  run.errors.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return run;
}

std::string config() { return std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg"; }

TEST(DecodeToolTest, FolderOrPipeAsTheRecordingIsAClearErrorWithCode2) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  for (const std::string& input : {dir.path(), dir.file("pipe")}) {
    const ToolRun run = runDecode({config(), input}, dir);
    EXPECT_EQ(run.status, 2) << input;
    EXPECT_EQ(run.errors, "tl_decode: " + input + " is not a regular file\n");
  }
}

TEST(DecodeToolTest, OutOfRangeNumbersAreUsageErrors) {
  TempDir dir;
  std::ofstream(dir.file("silence.raw"), std::ios::binary) << std::string(64, '\0');
  const struct {
    const char* option;
    const char* value;
    const char* message;
  } cases[] = {{"--raw", "99999999999", "tl_decode: --raw needs a rate of 1 to 1000000 Hz\n"},
               {"--raw", "0", "tl_decode: --raw needs a rate of 1 to 1000000 Hz\n"},
               {"--block", "4294967297", "tl_decode: --block needs 1 to 1048576 samples\n"}};
  for (const auto& c : cases) {
    const ToolRun run = runDecode({c.option, c.value, config(), dir.file("silence.raw")}, dir);
    EXPECT_EQ(run.status, 1) << c.option << " " << c.value;
    EXPECT_EQ(run.errors.rfind(c.message, 0), 0u) << run.errors;
  }
}

}  // namespace
}  // namespace tltest
