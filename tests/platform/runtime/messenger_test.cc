// The platform Messenger over a private core bus.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/runtime/messenger.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/schema/wire.h"

namespace tembrolexinplatform {
namespace {

using tl_test::Bytes;
using tl_test::Hex;

// Records each delivery as "<name>:<type>" into a shared log.
class LogReceiver : public IThriftMessageReceiver {
 public:
  LogReceiver(std::string name, std::vector<std::string>& log, std::mutex& mutex)
      : name_(std::move(name)), log_(log), mutex_(mutex) {}
  void onReceive(const TLThriftParams& message, const std::string& sender) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(name_ + ":" + std::to_string(message.msgType()) + ":" + sender);
  }

 private:
  std::string name_;
  std::vector<std::string>& log_;
  std::mutex& mutex_;
};

class MessengerTest : public testing::Test {
 protected:
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  // Sends a marker of type 12 and waits until a platform receiver saw it:
  // everything sent before has been delivered by then.
  void flush() {
    struct Marker : IThriftMessageReceiver {
      tltest::Gate seen;
      void onReceive(const TLThriftParams&, const std::string&) override { seen.open(); }
    } marker;
    messenger_.registerReceiver(&marker, 12);
    messenger_.sendMessage(NotificationData(), "flush");
    ASSERT_TRUE(marker.seen.wait());
    messenger_.unregisterReceiver(&marker, 12);
  }

  tembrolexinsdk::Messenger bus_;
  Messenger messenger_{&bus_};
  std::mutex mutex_;
  std::vector<std::string> log_;
};

TEST_F(MessengerTest, ReceiverRegisteredTwiceHearsTwiceAndOneUnregisterRemovesBoth) {
  LogReceiver a("a", log_, mutex_);
  messenger_.registerReceiver(&a, 9);
  messenger_.registerReceiver(&a, 9);
  messenger_.sendMessage(CodewordSignal(), "S");
  flush();
  EXPECT_EQ(log(), (std::vector<std::string>{"a:9:S", "a:9:S"}));

  messenger_.unregisterReceiver(&a, 9);
  messenger_.unregisterReceiver(&a, 77);  // no list: nothing happens
  EXPECT_EQ(messenger_.receiverCount(9), 0u);
  messenger_.sendMessage(CodewordSignal(), "S");
  flush();
  EXPECT_EQ(log().size(), 2u);
}

TEST_F(MessengerTest, MessageSentFromInsideADeliveryArrivesAfterIt) {
  struct Sender : IThriftMessageReceiver {
    Messenger* m;
    std::vector<std::string>* log;
    std::mutex* mutex;
    void onReceive(const TLThriftParams& message, const std::string&) override {
      m->sendMessage(AudioSignal(), "inner");
      std::lock_guard<std::mutex> lock(*mutex);
      log->push_back("sender:" + std::to_string(message.msgType()));
    }
  } sender;
  sender.m = &messenger_;
  sender.log = &log_;
  sender.mutex = &mutex_;
  LogReceiver after("after", log_, mutex_);
  messenger_.registerReceiver(&sender, 9);
  messenger_.registerReceiver(&after, 9);
  messenger_.registerReceiver(&after, 10);
  messenger_.sendMessage(CodewordSignal(), "outer");
  // The first marker may be queued before the delivery queues "inner"; once
  // it has arrived, "inner" is queued ahead of the second.
  flush();
  flush();
  EXPECT_EQ(log(), (std::vector<std::string>{"sender:9", "after:9:outer", "after:10:inner"}));
}

TEST_F(MessengerTest, RegisteringFromAnotherThreadNeverWaitsForADelivery) {
  // The receiver holds the delivery until the main thread has registered
  // another receiver; a registration that waited for the delivery would
  // never return.
  tltest::Gate registered;
  std::atomic<bool> sawGate{false};
  struct Blocking : IThriftMessageReceiver {
    tltest::Gate* gate;
    std::atomic<bool>* saw;
    void onReceive(const TLThriftParams&, const std::string&) override { *saw = gate->wait(); }
  } blocking;
  blocking.gate = &registered;
  blocking.saw = &sawGate;
  messenger_.registerReceiver(&blocking, 9);
  messenger_.sendMessage(CodewordSignal(), "S");
  LogReceiver late("late", log_, mutex_);
  messenger_.registerReceiver(&late, 9);
  registered.open();
  flush();
  EXPECT_TRUE(sawGate);
  messenger_.unregisterReceiver(&blocking, 9);
  messenger_.unregisterReceiver(&late, 9);
}

TEST_F(MessengerTest, UnregisterFromAnotherThreadWaitsForTheRunningCallThenNoMoreCalls) {
  tltest::Gate entered, release;
  std::atomic<int> calls{0};
  struct Blocking : IThriftMessageReceiver {
    tltest::Gate *entered, *release;
    std::atomic<int>* calls;
    void onReceive(const TLThriftParams&, const std::string&) override {
      ++*calls;
      entered->open();
      release->wait();
    }
  } blocking;
  blocking.entered = &entered;
  blocking.release = &release;
  blocking.calls = &calls;
  messenger_.registerReceiver(&blocking, 9);
  messenger_.sendMessage(CodewordSignal(), "S");
  messenger_.sendMessage(CodewordSignal(), "S");
  ASSERT_TRUE(entered.wait());

  std::atomic<bool> returned{false};
  std::thread unregistering([&] {
    messenger_.unregisterReceiver(&blocking, 9);
    returned = true;
  });
  // The call in progress keeps unregister waiting until it ends.
  while (messenger_.receiverCount(9) != 0) std::this_thread::yield();
  EXPECT_FALSE(returned);
  release.open();
  unregistering.join();
  EXPECT_TRUE(returned);
  flush();
  EXPECT_EQ(calls, 1);  // the second message found it gone
}

// Holds the last reference to the Messenger and drops it while a delivery
// to it runs.
struct LastOwner : IThriftMessageReceiver {
  std::shared_ptr<Messenger> messenger;
  int calls = 0;
  void onReceive(const TLThriftParams&, const std::string&) override {
    ++calls;
    messenger.reset();
  }
};

TEST(MessengerLifetimeTest, AReceiverMayDestroyTheMessengerDuringItsDelivery) {
  tembrolexinsdk::Messenger bus;
  LastOwner owner, after;
  owner.messenger = std::make_shared<Messenger>(&bus);
  Messenger* messenger = owner.messenger.get();
  messenger->registerReceiver(&owner, 12);
  messenger->registerReceiver(&after, 12);
  messenger->receiveThriftMessage(TLThriftParams(12, ""), "test");
  EXPECT_EQ(owner.calls, 1);
  EXPECT_EQ(after.calls, 0);  // the delivery ended with the Messenger
}

}  // namespace
}  // namespace tembrolexinplatform
