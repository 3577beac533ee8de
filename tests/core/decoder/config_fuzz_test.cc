// Fixed-seed random and mutated inputs for the XML-like reader and the scheme
// configuration reader. Every input lives in an exactly sized heap buffer, so
// under the address sanitizer any read past a span's end fails the test.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/decoder/scheme_config.h"
#include "core/decoder/scheme_config_reader.h"
#include "core/decoder/text_utils.h"

namespace tembrolexinsdk {
namespace {

std::string readData(const char* name) {
  std::ifstream in(std::string(TL_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const char* const kFiles[] = {
    "scheme_t1_vt.cfg",           "scheme_t1_vt_aligned.cfg", "scheme_t2_vtw.cfg",
    "scheme_t3_ch8.cfg",          "scheme_t4_cs4.cfg",        "scheme_t5_vc.cfg",
    "scheme_t5_vc_punctured.cfg", "scheme_mixed_8k_16k.cfg",  "scheme_ch4_plain.cfg",
};

const char* const kSnippets[] = {
    "<",  ">",  "/>", "</", "<![CDATA[", "]]>", "<!--", "-->", "<?", "?>", "\"", "=",
    "0x", "-",  "0",  "99999999999999999999", "<a>", "</a>", "<scheme>", "</scheme>",
    "<codec>", "</codec>", " ", ",", "\n", "1e39", "nan", "\\ ",
};

std::string mutate(std::string text, std::mt19937& rng) {
  const int steps = 1 + static_cast<int>(rng() % 4);
  for (int s = 0; s < steps; ++s) {
    const size_t n = text.size();
    const size_t at = n ? rng() % (n + 1) : 0;
    switch (rng() % 6) {
      case 0:  // replace one byte
        if (n) text[at % n] = static_cast<char>(rng() % 256);
        break;
      case 1: {  // delete a range
        const size_t length = rng() % 40;
        if (at < n) text.erase(at, length);
        break;
      }
      case 2: {  // duplicate a range
        const size_t from = n ? rng() % n : 0;
        const size_t length = rng() % 80;
        text.insert(at, text.substr(from, length));
        break;
      }
      case 3:  // insert markup
        text.insert(at, kSnippets[rng() % (sizeof kSnippets / sizeof kSnippets[0])]);
        break;
      case 4:  // truncate
        text.resize(at);
        break;
      default: {  // change a digit into another number
        const size_t digit = text.find_first_of("0123456789", at);
        if (digit != std::string::npos) text[digit] = static_cast<char>('0' + rng() % 10);
        break;
      }
    }
  }
  return text;
}

// Runs every reader over one input held in an exactly sized buffer.
void exercise(const std::string& input) {
  const int32_t length = static_cast<int32_t>(input.size());
  std::unique_ptr<char[]> span(new char[input.size() ? input.size() : 1]);
  std::memcpy(span.get(), input.data(), input.size());
  const char* s = span.get();

  int32_t code = 0;
  checkXmlValidity(s, length, &code);
  const char* content;
  const char* section;
  int32_t nameLength, contentLength, sectionLength;
  getNextSectionXmlCheckValidity(s, length, &content, &nameLength, &contentLength, &section,
                                 &sectionLength, &code);
  for (const char* path : {"decoderConfig/scheme/codec/generators", "decoderConfig/scheme",
                           "/", "a", "decoderConfig//rateCode"}) {
    int32_t found = 0;
    getSectionXml(s, length, path, &found);
    getSectionXmlIncludingTags(s, length, path, &found);
    getAttrXml(s, length, path, "id", &found);
    getAttrXml(s, length, path, "", &found);
    int32_t values[9];
    values[8] = 0x5A5A5A5A;
    fillNFields(s, length, path, values, 8, 4, "%d");
    EXPECT_EQ(values[8], 0x5A5A5A5A);
    float floats[4];
    fillNFields(s, length, path, floats, 4, 4, "%f");
    char* words[4] = {nullptr, nullptr, nullptr, nullptr};
    const int32_t n = fillNWords(s, length, path, words, 4);
    freeWords(words, n < 4 ? n : 4);
  }
  const char* cursor = s;
  int32_t left = length;
  for (int guard = 0; guard < 10000 && skipNextSectionXml(&cursor, &left); ++guard) {
  }
  int32_t stripped = length;
  stripCdataTags(s, &stripped);
  uint8_t bytes[64];
  tembrolexin_base64_decode(s, bytes, length, sizeof bytes);
  const char* name;
  int32_t valueLength, consumed;
  getNextAttrXml(s, length, &name, &nameLength, &valueLength, &consumed);
  int64_t number;
  sscanf_hex_dec_n(s, length, "%lld", &number, &consumed);

  MessageParams* params = nullptr;
  SchemeConfig* list = parseSchemeConfigText(s, length, &params);
  if (list) {
    ASSERT_NE(params, nullptr);
    for (SchemeConfig* c = list; c; c = c->next) {
      ASSERT_GE(c->positionCount, 1);
      ASSERT_NE(c->positionLags, nullptr);
      ASSERT_NE(c->codec.symbolOrder, nullptr);
      ASSERT_GE(schemeFramesPerCodeword(c), 2);
      EncodingSchemeInfo info;
      fillEncodingSchemeInfo(c, &info);
      interpolateSchemeTable(c, 3);
      scaleSchemeTimes(c, 100);
    }
    convertSchemeConfigUnits(list, 2);
    convertSchemeConfigUnits(list, 1);
  } else {
    EXPECT_EQ(params, nullptr);
    EXPECT_NE(tembrolexinErrorText()[0], '\0');
  }
  freeSchemeConfigList(list);
  freeMessageParams(params);

  std::string terminated(input);
  char* copy = nullptr;
  int32_t count = 0;
  char** tokens = breakIntoTokensFromConst(terminated.c_str(), &count, &copy);
  deleteTokensFromConst(tokens, copy);
}

TEST(ConfigFuzz, MutatedConfigurationsNeverLeaveTheirBuffers) {
  std::mt19937 rng(20261207);
  int accepted = 0;
  for (int round = 0; round < 1500; ++round) {
    const std::string base = readData(kFiles[round % (sizeof kFiles / sizeof kFiles[0])]);
    ASSERT_FALSE(base.empty());
    const std::string text = mutate(base, rng);
    exercise(text);
    if (::testing::Test::HasFatalFailure()) {
      ADD_FAILURE() << "input:\n" << text;
      return;
    }
    MessageParams* params = nullptr;
    SchemeConfig* list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &params);
    if (list) ++accepted;
    freeSchemeConfigList(list);
    freeMessageParams(params);
  }
  // Many single mutations (in comments, in digits that stay in range) keep a
  // valid text; the walk above must have seen both outcomes.
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, 1500);
}

TEST(ConfigFuzz, RandomBytesNeverLeaveTheirBuffers) {
  std::mt19937 rng(7);
  const char alphabet[] = "<>/!?[]-=\" abcdeCDATAx0123456789\n\t";
  for (int round = 0; round < 1500; ++round) {
    std::string text(rng() % 200, ' ');
    for (char& c : text) {
      c = (rng() % 4 == 0) ? static_cast<char>(rng() % 256) : alphabet[rng() % (sizeof alphabet - 1)];
    }
    exercise(text);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace tembrolexinsdk
