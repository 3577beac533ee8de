#include "core/runtime/gzip_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
namespace gz = tembrolexin::gzip;

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::set<std::string> names(const std::string& folder) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.insert(e.path().filename().string());
  return out;
}

// Deterministic bytes that compress poorly.
std::string noise(size_t size) {
  std::string s(size, '\0');
  uint32_t x = 2463534242u;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xff);
  }
  return s;
}

// Compresses with zlib's own gzip writer, independent of the code under test.
std::string gzipWithZlib(const std::string& content) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&s, content.size()) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  s.avail_in = static_cast<uInt>(content.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// Decompresses one gzip member with zlib directly.
std::string gunzipWithZlib(const std::string& gzipped) {
  z_stream s{};
  EXPECT_EQ(inflateInit2(&s, 31), Z_OK);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzipped.data()));
  s.avail_in = static_cast<uInt>(gzipped.size());
  std::string out;
  char buf[4096];
  int rc;
  do {
    s.next_out = reinterpret_cast<Bytef*>(buf);
    s.avail_out = sizeof buf;
    rc = inflate(&s, Z_NO_FLUSH);
    out.append(buf, sizeof buf - s.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  inflateEnd(&s);
  return out;
}

// Hand-assembled gzip members (RFC 1952 header, stored or fixed deflate
// blocks, CRC-32 and length little-endian).
const std::string kGzipAbc(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"  // magic, deflate, no flags, mtime, xfl, OS
    "\x01\x03\x00\xfc\xff"                      // final stored block, LEN 3, NLEN
    "abc"
    "\xc2\x41\x24\x35"   // CRC-32("abc") = 0x352441c2
    "\x03\x00\x00\x00",  // ISIZE 3
    26);
const std::string kGzipEmpty(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03"
    "\x03\x00"           // final fixed-Huffman block holding only end-of-block
    "\x00\x00\x00\x00"   // CRC-32 of nothing
    "\x00\x00\x00\x00",  // ISIZE 0
    20);

class GzipTest : public ::testing::Test {
 protected:
  tltest::TempDir dir_;
};

TEST_F(GzipTest, UnzipsHandMadeMembers) {
  writeBytes(dir_.file("a.txt.gz"), kGzipAbc);
  EXPECT_EQ(gz::unzip_file(dir_.file("a.txt.gz")), dir_.file("a.txt"));
  EXPECT_EQ(readBytes(dir_.file("a.txt")), "abc");
  EXPECT_EQ(readBytes(dir_.file("a.txt.gz")), kGzipAbc);  // input unchanged

  writeBytes(dir_.file("e.gz"), kGzipEmpty);
  EXPECT_EQ(gz::unzip_file(dir_.file("e.gz")), dir_.file("e"));
  EXPECT_TRUE(fs::exists(dir_.file("e")));
  EXPECT_EQ(readBytes(dir_.file("e")), "");
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"a.txt", "a.txt.gz", "e", "e.gz"}));
}

TEST_F(GzipTest, UnzipOverwritesAnExistingOutput) {
  writeBytes(dir_.file("a.txt"), "an older and longer content");
  writeBytes(dir_.file("a.txt.gz"), kGzipAbc);
  EXPECT_EQ(gz::unzip_file(dir_.file("a.txt.gz")), dir_.file("a.txt"));
  EXPECT_EQ(readBytes(dir_.file("a.txt")), "abc");
}

struct RoundTrip {
  std::string name;
  std::string content;
  int level;
};

class GzipRoundTripTest : public GzipTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(GzipRoundTripTest, ComesBackByteForByte) {
  const std::string plain = dir_.file("data.bin");
  writeBytes(plain, GetParam().content);
  EXPECT_EQ(gz::zip_file(plain, GetParam().level), plain + ".gz");
  EXPECT_EQ(readBytes(plain), GetParam().content);  // input unchanged
  const std::string gzipped = readBytes(plain + ".gz");
  ASSERT_GE(gzipped.size(), 18u);
  EXPECT_EQ(gzipped.substr(0, 3), "\x1f\x8b\x08");
  EXPECT_EQ(gunzipWithZlib(gzipped), GetParam().content);  // a real gzip member

  fs::remove(plain);
  EXPECT_EQ(gz::unzip_file(plain + ".gz"), plain);
  EXPECT_EQ(readBytes(plain), GetParam().content);
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"data.bin", "data.bin.gz"}));
}

INSTANTIATE_TEST_SUITE_P(Contents, GzipRoundTripTest,
                         ::testing::Values(RoundTrip{"empty", "", -1},
                                           RoundTrip{"short", "hello\n", 6},
                                           RoundTrip{"zeroBytes", std::string("\0\0x\0", 4), 9},
                                           RoundTrip{"oneChunk", noise(16384), 1},
                                           RoundTrip{"chunkPlusOne", noise(16385), 0},
                                           RoundTrip{"noise", noise(100000), -1},
                                           RoundTrip{"compressible", std::string(300000, 'a'), 9}),
                         [](const auto& info) { return info.param.name; });

TEST_F(GzipTest, UnzipsWhatZlibWrote) {
  const std::string content = noise(50000) + std::string(50000, 'q');
  writeBytes(dir_.file("pkg.gz"), gzipWithZlib(content));
  EXPECT_EQ(gz::unzip_file(dir_.file("pkg.gz")), dir_.file("pkg"));
  EXPECT_EQ(readBytes(dir_.file("pkg")), content);
}

TEST_F(GzipTest, OnlyTheFirstMemberIsRead) {
  writeBytes(dir_.file("two.gz"), gzipWithZlib("first") + gzipWithZlib("second"));
  EXPECT_EQ(gz::unzip_file(dir_.file("two.gz")), dir_.file("two"));
  EXPECT_EQ(readBytes(dir_.file("two")), "first");
  writeBytes(dir_.file("tail.gz"), kGzipAbc + "trailing junk");
  gz::unzip_file(dir_.file("tail.gz"));
  EXPECT_EQ(readBytes(dir_.file("tail")), "abc");
}

struct BadInput {
  std::string name;
  std::string bytes;
};

std::string corruptCrc() {
  std::string s = kGzipAbc;
  s[18] = static_cast<char>(s[18] ^ 1);
  return s;
}

std::string zlibWrapped() {
  uLongf size = 64;
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>("abc"), 3);
  out.resize(size);
  return out;
}

class GzipBadInputTest : public GzipTest, public ::testing::WithParamInterface<BadInput> {};

// Corrupt input fails with the data error text, leaves no output and keeps
// an earlier file of the output's name.
TEST_P(GzipBadInputTest, FailsAndKeepsTheEarlierFile) {
  writeBytes(dir_.file("pkg.gz"), GetParam().bytes);
  writeBytes(dir_.file("pkg"), "good earlier content");
  try {
    gz::unzip_file(dir_.file("pkg.gz"));
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid or incomplete deflate data.");
  }
  EXPECT_EQ(readBytes(dir_.file("pkg")), "good earlier content");
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"pkg", "pkg.gz"}));

  // Without an earlier file, nothing is left behind.
  fs::remove(dir_.file("pkg"));
  EXPECT_THROW(gz::unzip_file(dir_.file("pkg.gz")), std::runtime_error);
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"pkg.gz"}));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, GzipBadInputTest,
    ::testing::Values(BadInput{"empty", ""}, BadInput{"truncatedHeader", kGzipAbc.substr(0, 5)},
                      BadInput{"truncatedBody", kGzipAbc.substr(0, 14)},
                      BadInput{"missingTrailer", kGzipAbc.substr(0, 22)},
                      BadInput{"truncatedLarge", gzipWithZlib(noise(60000)).substr(0, 30000)},
                      BadInput{"plainBytes", "this is not gzip at all, just text\n"},
                      BadInput{"zlibWrapper", zlibWrapped()}, BadInput{"badCrc", corruptCrc()},
                      BadInput{"badMagic", "\x1f\x8c" + kGzipAbc.substr(2)}),
    [](const auto& info) { return info.param.name; });

TEST_F(GzipTest, MissingInputNamesThePathAndTouchesNothing) {
  writeBytes(dir_.file("pkg"), "earlier");
  try {
    gz::unzip_file(dir_.file("pkg.gz"));
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "Could not open " + dir_.file("pkg.gz"));
  }
  EXPECT_EQ(readBytes(dir_.file("pkg")), "earlier");
  try {
    gz::zip_file(dir_.file("missing"), 6);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "Could not open " + dir_.file("missing"));
  }
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"pkg"}));
}

// Inputs that are not regular files fail at once: a named pipe without a
// writer would otherwise block the caller for ever.
TEST_F(GzipTest, InputThatIsNotARegularFileFailsAtOnce) {
  ASSERT_EQ(::mkfifo(dir_.file("pipe.gz").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(dir_.file("pipe").c_str(), 0600), 0);
  fs::create_directory(dir_.file("folder.gz"));
  const std::vector<std::pair<std::string, bool>> inputs = {
      {dir_.file("pipe.gz"), true}, {dir_.file("pipe"), false}, {dir_.file("folder.gz"), true}};
  for (const auto& [input, unzip] : inputs) {
    try {
      if (unzip) {
        gz::unzip_file(input);
      } else {
        gz::zip_file(input, 6);
      }
      FAIL() << "no exception for " << input;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Could not open " + input);
    }
  }
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"folder.gz", "pipe", "pipe.gz"}));
}

TEST_F(GzipTest, OutputThatCannotBeCreatedNamesTheOutput) {
  // A folder stands where the output should go.
  fs::create_directory(dir_.file("d"));
  writeBytes(dir_.file("d/x.gz"), kGzipAbc);
  fs::create_directory(dir_.file("d/x"));
  try {
    gz::unzip_file(dir_.file("d/x.gz"));
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "Could not open " + dir_.file("d/x"));
  }
  EXPECT_TRUE(fs::is_directory(dir_.file("d/x")));
  EXPECT_EQ(names(dir_.file("d")), (std::set<std::string>{"x", "x.gz"}));
}

TEST_F(GzipTest, PathWithoutGzEndingIsRefusedBeforeAnyFile) {
  // Cutting three characters off "abc.txt" would name "abc." and overwrite it.
  writeBytes(dir_.file("abc.txt"), kGzipAbc);
  writeBytes(dir_.file("abc."), "someone else's file");
  writeBytes(dir_.file(".gz"), kGzipAbc);
  const std::set<std::string> before = names(dir_.path());
  for (const std::string& path : {dir_.file("abc.txt"), dir_.file(".gz"), std::string("gz"),
                                  std::string(".gz"), dir_.file("abc.GZ"), std::string("")}) {
    EXPECT_THROW(gz::unzip_file(path), std::invalid_argument) << path;
  }
  EXPECT_EQ(readBytes(dir_.file("abc.")), "someone else's file");
  EXPECT_EQ(names(dir_.path()), before);
}

TEST_F(GzipTest, PathsWithAZeroByteAreNotOpened) {
  writeBytes(dir_.file("pkg.gz"), kGzipAbc);
  writeBytes(dir_.file("pkg"), "earlier");
  const std::string cut = dir_.file("pkg.gz") + std::string("\0x.gz", 5);
  try {
    gz::unzip_file(cut);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    // what() is a C string: it ends where the path's zero byte is.
    EXPECT_EQ(std::string(e.what()), "Could not open " + dir_.file("pkg.gz"));
  }
  EXPECT_THROW(gz::zip_file(dir_.file("pkg") + std::string("\0", 1), 6), std::invalid_argument);
  EXPECT_EQ(readBytes(dir_.file("pkg")), "earlier");
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"pkg", "pkg.gz"}));
}

TEST_F(GzipTest, InvalidLevelIsRefusedAndLeavesNoGz) {
  writeBytes(dir_.file("f"), "content");
  for (int level : {10, -2, 100}) {
    try {
      gz::zip_file(dir_.file("f"), level);
      FAIL() << "no exception for level " << level;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Invalid compression level.");
    }
    EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"f"}));
  }
  // An earlier .gz survives a refused level.
  writeBytes(dir_.file("f.gz"), kGzipAbc);
  EXPECT_THROW(gz::zip_file(dir_.file("f"), 10), std::runtime_error);
  EXPECT_EQ(readBytes(dir_.file("f.gz")), kGzipAbc);
}

// ---- the stream functions ------------------------------------------------------------------

struct File {
  FILE* f;
  explicit File(FILE* file) : f(file) {}
  ~File() {
    if (f) std::fclose(f);
  }
};

std::string readAll(FILE* f) {
  std::rewind(f);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

FILE* tmpWith(const std::string& bytes) {
  FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

TEST_F(GzipTest, InfAndDefOnStreams) {
  File plain(tmpWith(noise(40000)));
  File packed(std::tmpfile());
  EXPECT_EQ(gz::def(plain.f, packed.f, 6), Z_OK);
  std::rewind(packed.f);
  File unpacked(std::tmpfile());
  EXPECT_EQ(gz::inf(packed.f, unpacked.f), Z_OK);
  EXPECT_EQ(readAll(unpacked.f), noise(40000));

  File bad(tmpWith("garbage"));
  File out(std::tmpfile());
  EXPECT_EQ(gz::inf(bad.f, out.f), Z_DATA_ERROR);
  File empty(tmpWith(""));
  EXPECT_EQ(gz::inf(empty.f, out.f), Z_DATA_ERROR);
  File source(tmpWith("x"));
  EXPECT_EQ(gz::def(source.f, out.f, 10), Z_STREAM_ERROR);
}

TEST_F(GzipTest, StreamErrorsAreReadOrWriteFailures) {
  writeBytes(dir_.file("in"), "content");
  writeBytes(dir_.file("gz"), kGzipAbc);
  // A destination opened for reading only: every write fails.
  {
    File source(std::fopen(dir_.file("in").c_str(), "r"));
    File dest(std::fopen(dir_.file("in").c_str(), "r"));
    EXPECT_EQ(gz::def(source.f, dest.f, 6), Z_ERRNO);
    EXPECT_EQ(gz::zerr(Z_ERRNO, source.f, dest.f), "Error reading output file.");
  }
  {
    File source(std::fopen(dir_.file("gz").c_str(), "r"));
    File dest(std::fopen(dir_.file("in").c_str(), "r"));
    EXPECT_EQ(gz::inf(source.f, dest.f), Z_ERRNO);
  }
  // A source opened for writing only: the read fails.
  {
    File source(std::fopen(dir_.file("scratch").c_str(), "w"));
    File dest(std::tmpfile());
    EXPECT_EQ(gz::def(source.f, dest.f, 6), Z_ERRNO);
    EXPECT_EQ(gz::zerr(Z_ERRNO, source.f, dest.f), "Error reading input file.");
    File source2(std::fopen(dir_.file("scratch2").c_str(), "w"));
    EXPECT_EQ(gz::inf(source2.f, dest.f), Z_ERRNO);
  }
}

TEST(GzipMessagesTest, ZerrTexts) {
  File source(std::tmpfile());
  File dest(std::tmpfile());
  const std::vector<std::pair<int, std::string>> cases = {
      {Z_VERSION_ERROR, "Zlib version mismatch!"},
      {Z_MEM_ERROR, "Out of memory."},
      {Z_DATA_ERROR, "Invalid or incomplete deflate data."},
      {Z_STREAM_ERROR, "Invalid compression level."},
      {Z_ERRNO, "Error reading output file."},
      {Z_BUF_ERROR, ""},
      {Z_OK, ""},
      {Z_STREAM_END, ""},
      {Z_NEED_DICT, ""},
  };
  for (const auto& [code, text] : cases) {
    EXPECT_EQ(gz::zerr(code, source.f, dest.f), text) << code;
  }
}

// A bomb: 16 MiB of zeros in about 16 KiB. Unzipping within a size limit
// writes at most the limit, then throws and leaves nothing behind, also not
// an earlier file's content; exactly the limit passes.
struct SizeCase {
  const char* name;
  uint64_t maxBytes;
  bool passes;
};
class GzipLimitTest : public GzipTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(GzipLimitTest, UnpackedSizeIsBounded) {
  const std::string zeros(16u << 20, '\0');
  const std::string bomb = gzipWithZlib(zeros);
  ASSERT_LT(bomb.size(), 64u << 10);
  writeBytes(dir_.file("bomb.db.gz"), bomb);
  writeBytes(dir_.file("bomb.db"), "earlier");
  gz::UnzipLimits limits;
  limits.maxBytes = GetParam().maxBytes;
  if (GetParam().passes) {
    EXPECT_EQ(gz::unzip_file(dir_.file("bomb.db.gz"), limits), dir_.file("bomb.db"));
    EXPECT_EQ(fs::file_size(dir_.file("bomb.db")), zeros.size());
    return;
  }
  try {
    gz::unzip_file(dir_.file("bomb.db.gz"), limits);
    FAIL() << "no exception";
  } catch (const gz::LimitExceeded& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unpacked size exceeds " + std::to_string(GetParam().maxBytes) + " bytes");
    EXPECT_TRUE(e.tooLarge());
  }
  EXPECT_EQ(readBytes(dir_.file("bomb.db")), "earlier");
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"bomb.db", "bomb.db.gz"}));
}

INSTANTIATE_TEST_SUITE_P(Limits, GzipLimitTest,
                         ::testing::Values(SizeCase{"OneMiB", 1u << 20, false},
                                           SizeCase{"OneByteShort", (16u << 20) - 1, false},
                                           SizeCase{"Exact", 16u << 20, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GzipTest, StopRequestEndsUnzippingPromptly) {
  writeBytes(dir_.file("bomb.db.gz"), gzipWithZlib(std::string(16u << 20, '\0')));
  int asked = 0;
  gz::UnzipLimits limits;
  limits.stop = [&] { return ++asked == 3; };
  try {
    gz::unzip_file(dir_.file("bomb.db.gz"), limits);
    FAIL() << "no exception";
  } catch (const gz::LimitExceeded& e) {
    EXPECT_STREQ(e.what(), "Unpacking was stopped");
    EXPECT_FALSE(e.tooLarge());
  }
  EXPECT_EQ(asked, 3);  // asked once per chunk, stopped at the first yes
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"bomb.db.gz"}));
}

// A write the system refuses (here a file size limit, as a full disk would)
// is a FileError naming the output and the system's reason; nothing is left
// behind and the earlier file stays.
TEST_F(GzipTest, RefusedWriteIsAFileErrorAndLeavesTheEarlierFile) {
  writeBytes(dir_.file("pkg.db"), "earlier");
  writeBytes(dir_.file("pkg.db.gz"), gzipWithZlib(noise(1 << 20)));
  const std::string seen = tltest::inChild([&] {
    tltest::limitFileSize(256 << 10);
    try {
      gz::unzip_file(dir_.file("pkg.db.gz"));
      return std::string("no exception");
    } catch (const gz::FileError& e) {
      return std::string(e.what()) + " | " + e.path() + " | " + e.reason();
    }
  });
  EXPECT_EQ(seen, "Error reading output file. | " + dir_.file("pkg.db") + " | File too large");
  EXPECT_EQ(names(dir_.path()), (std::set<std::string>{"pkg.db", "pkg.db.gz"}));
  EXPECT_EQ(readBytes(dir_.file("pkg.db")), "earlier");
}

TEST(GzipStreamTest, InitStreamPreparesGzipDecompression) {
  z_stream stream;
  stream.next_in = reinterpret_cast<Bytef*>(&stream);  // garbage that must be cleared
  stream.avail_in = 1234;
  ASSERT_EQ(gz::initStream(stream), Z_OK);
  EXPECT_EQ(stream.avail_in, 0u);
  std::string out(8, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(kGzipAbc.data()));
  stream.avail_in = static_cast<uInt>(kGzipAbc.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(out.substr(0, stream.total_out), "abc");
  inflateEnd(&stream);
}

}  // namespace
