// GPSInfo and GSMInfo: the values the decoder builds from the position and
// cell messages, including GSMInfo's cut of LAC and CId to 32 bits.

#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "schema/gps_info.h"
#include "schema/gsm_info.h"
#include "schema/tembrolexin_types.h"
#include "tests/schema/wire.h"

namespace tembrolexinsdk {
namespace {

TEST(GPSInfoTest, ConstructorTakesLongitudeThenLatitude) {
  GPSInfo info(-2.25, 51.5);
  EXPECT_EQ(info.longitude, -2.25);
  EXPECT_EQ(info.latitude, 51.5);
}

TEST(GPSInfoTest, FromSignalReadOffTheWire) {
  // longitude -2.25, latitude 51.5
  GPSInfoSignal signal;
  tl_test::Deserialize(
      tl_test::Bytes("040001 c002000000000000 040002 4049c00000000000 00"),
      signal);
  std::shared_ptr<const GPSInfo> info =
      std::make_shared<const GPSInfo>(gpsInfoFromSignal(signal));
  EXPECT_EQ(info->longitude, -2.25);
  EXPECT_EQ(info->latitude, 51.5);
}

TEST(GSMInfoTest, ConstructorMovesStringsIn) {
  std::string country(40, 'c');  // long enough to live on the heap
  const char* storage = country.data();
  GSMInfo info(std::move(country), "15", 7, 8);
  EXPECT_EQ(info.countryCode.data(), storage);
  EXPECT_EQ(info.network, "15");
  EXPECT_EQ(info.LAC, 7u);
  EXPECT_EQ(info.CId, 8u);
}

struct CutCase {
  int64_t wire;
  uint32_t kept;
};

class GSMInfoCutTest : public testing::TestWithParam<CutCase> {};

TEST_P(GSMInfoCutTest, KeepsLow32BitsOfLacAndCid) {
  GSMInfoSignal signal;
  signal.__set_countryCode("234");
  signal.__set_network("15");
  signal.__set_LAC(GetParam().wire);
  signal.__set_CId(GetParam().wire);
  GSMInfo info = gsmInfoFromSignal(signal);
  EXPECT_EQ(info.countryCode, "234");
  EXPECT_EQ(info.network, "15");
  EXPECT_EQ(info.LAC, GetParam().kept);
  EXPECT_EQ(info.CId, GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Schema, GSMInfoCutTest,
    testing::Values(CutCase{0, 0u}, CutCase{4294967297LL, 1u},
                    CutCase{0xffffffffLL, 0xffffffffu},
                    CutCase{0x123456789abcdefLL, 0x89abcdefu},
                    CutCase{-1, 0xffffffffu},
                    CutCase{INT64_MIN, 0u}));

}  // namespace
}  // namespace tembrolexinsdk
