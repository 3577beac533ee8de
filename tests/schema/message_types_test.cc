// The message type ids are part of the wire contract between the core and the
// platform layer: every id is pinned here by hand.

#include "schema/message_types.h"

#include <set>
#include <tuple>

#include <gtest/gtest.h>

namespace tembrolexinsdk {
namespace {

// Compile-time checks: ids exist for message structs and not for ConfigParam.
static_assert(HasMessageTypeId<CodewordSignal>);
static_assert(HasMessageTypeId<NotificationData>);
static_assert(HasMessageTypeId<AssetInfo>);
static_assert(HasMessageTypeId<AssetAction>);
static_assert(!HasMessageTypeId<ConfigParam>);
static_assert(!HasMessageTypeId<int>);
static_assert(kMessageTypeId<CodewordSignal> == 9);

template <typename T>
struct Expect {
  using Type = T;
  int32_t id;
};

TEST(MessageTypeIdTest, EveryStructHasItsFixedId) {
  // 33 structs, in id order; 2, 3, 24 and 27 are unused.
  const auto table = std::make_tuple(
      Expect<EventData>{1}, Expect<ContentSignal>{4},
      Expect<DownloadStatusSignal>{5}, Expect<PartialCodewordSignal>{6},
      Expect<PowerDetectorMsg>{7}, Expect<LogSignal>{8},
      Expect<CodewordSignal>{9}, Expect<AudioSignal>{10},
      Expect<AMSignal>{11}, Expect<NotificationData>{12},
      Expect<BackgroundData>{13}, Expect<SignDataRequest>{14},
      Expect<SignedData>{15}, Expect<AssetMessage>{16},
      Expect<AssetInfo>{17}, Expect<AssetInfoList>{18},
      Expect<AssetAction>{19}, Expect<AssetActionList>{20},
      Expect<StringRequest>{21}, Expect<AMDBSignal>{22},
      Expect<ProcessorStatusSignal>{23}, Expect<RecorderEvent>{25},
      Expect<JavascriptMessage>{26}, Expect<SyncEngineSignal>{28},
      Expect<CheckedFilePreparedEventSignal>{29},
      Expect<ConfigurationMapSignal>{30}, Expect<FailureSignal>{31},
      Expect<GPSInfoSignal>{32}, Expect<GSMInfoSignal>{33},
      Expect<NTPInfoSignal>{34}, Expect<InitData>{35},
      Expect<InstructionSignal>{36}, Expect<SDKStatusSignal>{37});
  static_assert(std::tuple_size_v<decltype(table)> == 33);

  std::set<int32_t> seen;
  std::apply(
      [&](const auto&... e) {
        (([&] {
           using T = typename std::decay_t<decltype(e)>::Type;
           EXPECT_EQ(kMessageTypeId<T>, e.id);
           EXPECT_TRUE(seen.insert(kMessageTypeId<T>).second)
               << "duplicate id " << e.id;
         }()),
         ...);
      },
      table);
  EXPECT_EQ(seen.size(), 33u);
  for (int32_t unused : {2, 3, 24, 27}) EXPECT_EQ(seen.count(unused), 0u);
  EXPECT_EQ(*seen.begin(), 1);
  EXPECT_EQ(*seen.rbegin(), 37);
}

}  // namespace
}  // namespace tembrolexinsdk
