#include "core/runtime/thrift_params.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tembrolexinsdk {
namespace {

std::vector<signed char> Bytes(std::initializer_list<int> values) {
  std::vector<signed char> out;
  for (int v : values) out.push_back(static_cast<signed char>(v));
  return out;
}

TEST(ThriftParamsTest, CopiesTheGivenBytes) {
  unsigned char source[] = {0x0b, 0x00, 0x01, 0xff, 0x80};
  ThriftParams params(9, sizeof source, source);
  source[0] = 0;  // the payload holds its own copy
  EXPECT_EQ(params.getMsgType(), 9);
  EXPECT_EQ(params.getData(), Bytes({0x0b, 0x00, 0x01, -1, -128}));
}

TEST(ThriftParamsTest, DescriptionAndClone) {
  const char bytes[] = {1, 2, 3};
  ThriftParams params(9, 3, bytes);
  EXPECT_EQ(params.GetParamsDescription(), "Msg type: 9");

  std::unique_ptr<IProcessorEventParams> clone(params.clone());
  auto* copy = dynamic_cast<ThriftParams*>(clone.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->getMsgType(), 9);
  EXPECT_EQ(copy->getData(), params.getData());
  EXPECT_NE(copy->getData().data(), params.getData().data());
  EXPECT_EQ(copy->GetParamsDescription(), "Msg type: 9");

  ThriftParams copied(params);
  EXPECT_EQ(copied.getData(), params.getData());
  EXPECT_EQ(copied.GetParamsDescription(), "Msg type: 9");
}

struct DescriptionCase {
  int type;
  const char* text;
};

class ThriftParamsDescriptionTest : public testing::TestWithParam<DescriptionCase> {};

TEST_P(ThriftParamsDescriptionTest, Decimal) {
  EXPECT_EQ(ThriftParams(GetParam().type, 0, nullptr).GetParamsDescription(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Ids, ThriftParamsDescriptionTest,
                         testing::Values(DescriptionCase{0, "Msg type: 0"},
                                         DescriptionCase{37, "Msg type: 37"},
                                         DescriptionCase{-5, "Msg type: -5"},
                                         DescriptionCase{2147483647, "Msg type: 2147483647"}));

TEST(ThriftParamsTest, EmptyPayloads) {
  ThriftParams none(35, 0, nullptr);
  EXPECT_TRUE(none.getData().empty());
  const char byte = 7;
  ThriftParams zeroCount(35, 0, &byte);
  EXPECT_TRUE(zeroCount.getData().empty());
}

TEST(ThriftParamsTest, NullBytesWithACountAreRejected) {
  EXPECT_THROW(ThriftParams(9, 4, nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace tembrolexinsdk
