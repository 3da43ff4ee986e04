// Event delivery of the TCP component: the three NotifyEvents modes,
// notification records that own what they report, drains, held messages and
// the lifetimes of connection objects.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtl/MainThread.h"
#include "tcp/kfxTCP_Classes_Component.h"
#include "tests/support/wait.h"

namespace {

using apns_test::PumpUntil;

class ETestError : public Exception {
 public:
  using Exception::Exception;
};

class TTestConnection : public TkfxTCPConnection {
 public:
  explicit TTestConnection(std::atomic<int>* aDestroyed = nullptr) : FDestroyed(aDestroyed) {}
  ~TTestConnection() override {
    if (FDestroyed) FDestroyed->fetch_add(1);
  }
  bool Active() override { return !Disconnected(); }
  std::string IP() override { return "127.0.0.1"; }
  std::string LocalIP() override { return "127.0.0.1"; }
  int LocalPort() override { return 1; }
  int Port() override { return 2; }
  TwsIPVersion IPVersion() override { return TwsIPVersion::ipV4; }
  void DoAfterException() override { AfterException.fetch_add(1); }

  std::atomic<int> AfterException{0};

 private:
  std::atomic<int>* FDestroyed;
};

// Drains whatever is queued right now.
void PumpPending() {
  while (CheckSynchronize(0)) {
  }
}

// Records every event with the thread it ran on.
struct TEventLog {
  struct TEntry {
    std::string What;
    bool OnMain;
  };
  std::mutex Lock;
  std::vector<TEntry> Entries;

  void Add(const std::string& aWhat) {
    std::lock_guard guard(Lock);
    Entries.push_back({aWhat, IsMainThread()});
  }
  std::vector<std::string> Names() {
    std::lock_guard guard(Lock);
    std::vector<std::string> names;
    for (auto& e : Entries) names.push_back(e.What);
    return names;
  }
  size_t Size() {
    std::lock_guard guard(Lock);
    return Entries.size();
  }
};

void Wire(TkfxTCPComponent& aComponent, TEventLog& aLog) {
  aComponent.OnConnect = [&aLog](TkfxTCPConnection* c) {
    aLog.Add("connect " + std::to_string(c->Port()));
  };
  aComponent.OnMessage = [&aLog](TkfxTCPConnection*, const std::string& aText) {
    aLog.Add("message " + aText);
  };
  aComponent.OnBinary = [&aLog](TkfxTCPConnection*, TMemoryStream* aData) {
    std::string text(aData->Bytes().begin(), aData->Bytes().end());
    aLog.Add("binary " + text + " at " + std::to_string(aData->Position()));
  };
  aComponent.OnException = [&aLog](TkfxTCPConnection* c, Exception* E) {
    aLog.Add(std::string("exception ") + (c ? "conn " : "none ") + E->Message());
  };
  aComponent.OnDisconnect = [&aLog](TkfxTCPConnection* c) {
    // The object is alive and readable while its disconnect runs.
    aLog.Add("disconnect " + std::to_string(c->Guid().size()) + (c->Freed() ? " freed" : ""));
  };
}

TEST(TCPComponent, VersionIsPublishedReadOnly) {
  TkfxTCPComponent component(nullptr);
  EXPECT_EQ(component.Version(), "4.5.1");
  std::string value;
  ASSERT_TRUE(component.GetPublishedValue("Version", value));
  EXPECT_EQ(value, "4.5.1");
  EXPECT_FALSE(component.SetPublishedValue("Version", "1"));
  EXPECT_EQ(component.NotifyEvents(), TwsNotifyEvent::neAsynchronous);
}

// One connection's whole life reported from a worker thread, in each mode:
// the events arrive in order, on the thread the mode selects, with the data
// as it was when reported, and the connection object goes exactly once,
// after its disconnect event.
TEST(TCPComponent, DeliversEveryEventInEachMode) {
  struct TCase {
    TwsNotifyEvent Mode;
    bool OnMain;
  };
  for (const TCase& tc : {TCase{TwsNotifyEvent::neNoSync, false},
                          TCase{TwsNotifyEvent::neAsynchronous, true},
                          TCase{TwsNotifyEvent::neSynchronous, true}}) {
    SCOPED_TRACE(static_cast<int>(tc.Mode));
    std::atomic<int> destroyed{0};
    TEventLog log;
    TkfxTCPComponent component(nullptr);
    component.SetNotifyEvents(tc.Mode);
    Wire(component, log);
    std::atomic<bool> done{false};
    std::atomic<int> afterException{-1};
    std::atomic<bool> freedOnReturn{false};

    std::thread worker([&] {
      auto connection = std::make_shared<TTestConnection>(&destroyed);
      component.DoNotifyConnect(connection.get());
      connection->SetMsgReceived("hello");
      component.DoNotifyMessage(connection.get());
      connection->MsgBinaryReceived()->WriteBytes(TIdBytes{'A', 'B'});
      connection->MsgBinaryReceived()->SetPosition(0);
      component.DoNotifyBinary(connection.get());
      // The record holds a copy: later changes are not delivered.
      connection->MsgBinaryReceived()->WriteBytes(TIdBytes{'C'});
      try {
        throw ETestError("boom");
      } catch (Exception& e) {
        component.DoException(connection.get(), e.Message(), &e);
      }
      afterException = connection->AfterException.load();
      component.DoNotifyDisconnect(connection.get());
      freedOnReturn = connection->Freed();
      done = true;
      SignalMainThread();
    });
    if (tc.Mode == TwsNotifyEvent::neSynchronous) {
      // Waiting for a worker that waits for us must not dead-lock.
      EXPECT_TRUE(WaitServingMainThread([&] { return done.load(); }, 10000));
    }
    ASSERT_TRUE(PumpUntil([&] { return done.load() && log.Size() == 5; }));
    worker.join();
    PumpPending();

    EXPECT_EQ(log.Names(),
              (std::vector<std::string>{"connect 2", "message hello", "binary AB at 0",
                                        "exception conn boom", "disconnect 32"}));
    for (auto& entry : log.Entries) EXPECT_EQ(entry.OnMain, tc.OnMain) << entry.What;
    EXPECT_EQ(afterException.load(), 1);
    // Delivered (or waited for) before the call returned, unless queued.
    EXPECT_TRUE(freedOnReturn.load() || tc.Mode == TwsNotifyEvent::neAsynchronous);
    EXPECT_EQ(destroyed.load(), 1);
  }
}

// A queued record keeps its own copy of the reported exception, usable after
// the reporting thread has left its handler and freed the original.
TEST(TCPComponent, QueuedExceptionOutlivesTheReportingThread) {
  TkfxTCPComponent component(nullptr);
  std::vector<std::string> seen;
  component.OnException = [&](TkfxTCPConnection*, Exception* E) { seen.push_back(E->Message()); };
  std::thread worker([&] {
    try {
      throw ETestError("read failed");
    } catch (Exception& e) {
      component.DoException(nullptr, e.Message(), &e);
    }
    component.DoException(nullptr, "no object", nullptr);
  });
  worker.join();
  PumpPending();
  EXPECT_EQ(seen, (std::vector<std::string>{"read failed", "no object"}));

  TkfxTCPObjectList list;
  {
    ETestError original("gone soon");
    list.AddNotifyObject(nullptr, std::string("text"), &original);
  }
  auto batch = list.TakeAll();
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0]->RawException()->Message(), "gone soon");
  EXPECT_EQ(batch[0]->RawExceptionClassName(), "ETestError");
}

TEST(TCPComponent, EventExceptionFillsInTheMessage) {
  TkfxTCPComponent component(nullptr);
  std::vector<std::string> seen;
  component.OnException = [&](TkfxTCPConnection*, Exception* E) { seen.push_back(E->Message()); };
  Exception empty("");
  Exception full("own text");
  component.DoEventException(nullptr, "msg", nullptr);
  component.DoEventException(nullptr, "msg", &empty);
  component.DoEventException(nullptr, "msg", &full);
  EXPECT_EQ(seen, (std::vector<std::string>{"msg", "msg", "own text"}));
  EXPECT_EQ(empty.Message(), "msg");
}

// Freeing the component inside a handler stops the drain at once; the
// records still queued go without their events, and their connections too.
TEST(TCPComponent, FreeingTheComponentInsideAHandlerStopsTheDrain) {
  std::atomic<int> destroyed{0};
  auto* component = new TkfxTCPComponent(nullptr);
  std::vector<std::string> seen;
  component->OnMessage = [&](TkfxTCPConnection*, const std::string& aText) {
    seen.push_back(aText);
    delete component;
  };
  component->OnDisconnect = [&](TkfxTCPConnection*) { seen.push_back("disconnect"); };
  std::thread worker([&] {
    auto connection = std::make_shared<TTestConnection>(&destroyed);
    for (const char* text : {"one", "two", "three"}) {
      connection->SetMsgReceived(text);
      component->DoNotifyMessage(connection.get());
    }
    component->DoNotifyDisconnect(connection.get());
  });
  worker.join();
  PumpPending();
  EXPECT_EQ(seen, std::vector<std::string>{"one"});
  EXPECT_EQ(destroyed.load(), 1);
}

// Destroying a component with drains still queued: nothing runs later, and
// a connection whose disconnect was never delivered is released.
TEST(TCPComponent, DestroyingWithQueuedDrainsReleasesEverything) {
  std::atomic<int> destroyed{0};
  std::atomic<int> events{0};
  {
    TkfxTCPComponent component(nullptr);
    component.OnConnect = [&](TkfxTCPConnection*) { ++events; };
    component.OnDisconnect = [&](TkfxTCPConnection*) { ++events; };
    std::thread worker([&] {
      auto connection = std::make_shared<TTestConnection>(&destroyed);
      component.DoNotifyConnect(connection.get());
      component.DoNotifyDisconnect(connection.get());
    });
    worker.join();
  }
  PumpPending();
  EXPECT_EQ(events.load(), 0);
  EXPECT_EQ(destroyed.load(), 1);
}

// A handler that raises is reported through OnException and its record is
// dropped: the next records are delivered and nothing is delivered twice.
TEST(TCPComponent, FailingHandlerIsReportedAndNotRedelivered) {
  TkfxTCPComponent component(nullptr);
  std::vector<std::string> seen;
  component.OnConnect = [&](TkfxTCPConnection* c) {
    seen.push_back("connect " + std::to_string(c->LocalPort()));
    if (seen.size() == 1) throw ETestError("handler failed");
  };
  component.OnException = [&](TkfxTCPConnection*, Exception* E) {
    seen.push_back(E->ClassName() + " " + E->Message());
  };
  auto first = std::make_shared<TTestConnection>();
  auto second = std::make_shared<TTestConnection>();
  std::thread worker([&] {
    component.DoNotifyConnect(first.get());
    component.DoNotifyConnect(second.get());
  });
  worker.join();
  PumpPending();
  std::thread again([&] { component.DoNotifyConnect(second.get()); });
  again.join();
  PumpPending();
  EXPECT_EQ(seen, (std::vector<std::string>{"connect 1", "Exception handler failed", "connect 1",
                                            "connect 1"}));
}

// A handler that pumps the main-thread queue while more records arrive does
// not reorder them: the nested drain leaves them to the running one.
TEST(TCPComponent, NestedDrainKeepsTheOrder) {
  TkfxTCPComponent component(nullptr);
  std::vector<std::string> seen;
  std::atomic<bool> inFirst{false};
  std::atomic<bool> moreQueued{false};
  component.OnMessage = [&](TkfxTCPConnection*, const std::string& aText) {
    seen.push_back(aText);
    if (aText != "m1") return;
    inFirst = true;
    PumpUntil([&] { return moreQueued.load(); });
    PumpPending();
    seen.push_back("end m1");
  };
  auto connection = std::make_shared<TTestConnection>();
  std::thread worker([&] {
    connection->SetMsgReceived("m1");
    component.DoNotifyMessage(connection.get());
    while (!inFirst) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (const char* text : {"m2", "m3"}) {
      connection->SetMsgReceived(text);
      component.DoNotifyMessage(connection.get());
    }
    moreQueued = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == 4; }));
  worker.join();
  PumpPending();
  EXPECT_EQ(seen, (std::vector<std::string>{"m1", "end m1", "m2", "m3"}));
}

// Held messages: nothing is raised while QueueMessages is set; clearing it
// releases every held text, then every held binary; a change of
// QueueMessages during the release is ignored; QueueClear drops them.
TEST(TCPComponent, HeldMessagesReleaseTextsBeforeBinaries) {
  TkfxTCPComponent component(nullptr);
  component.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  std::vector<std::string> seen;
  component.OnMessage = [&](TkfxTCPConnection*, const std::string& aText) {
    seen.push_back("text " + aText);
    component.SetQueueMessages(true);  // ignored during the release
  };
  component.OnBinary = [&](TkfxTCPConnection*, TMemoryStream* aData) {
    seen.push_back("binary " + std::to_string(aData->Size()));
  };
  auto connection = std::make_shared<TTestConnection>();
  component.SetQueueMessages(true);
  connection->MsgBinaryReceived()->WriteBytes(TIdBytes{1, 2, 3});
  component.DoNotifyBinary(connection.get());
  connection->SetMsgReceived("a");
  component.DoNotifyMessage(connection.get());
  connection->SetMsgReceived("b");
  component.DoNotifyMessage(connection.get());
  EXPECT_TRUE(seen.empty());
  component.SetQueueMessages(false);
  EXPECT_EQ(seen, (std::vector<std::string>{"text a", "text b", "binary 3"}));
  EXPECT_FALSE(component.QueueMessages());

  seen.clear();
  component.SetQueueMessages(true);
  component.DoNotifyMessage(connection.get());
  component.QueueClear();
  component.SetQueueMessages(false);
  EXPECT_TRUE(seen.empty());
}

// Records copy what they are given; DeleteAll(true) marks connections freed.
TEST(TCPComponent, ObjectListRecordsOwnTheirContents) {
  TkfxTCPObjectList list;
  auto connection = std::make_shared<TTestConnection>();
  TMemoryStream stream;
  stream.WriteBytes(TIdBytes{9, 8, 7});
  list.AddNotifyObject(connection.get(), &stream, 2, true);
  list.AddNotifyObject(connection.get(), std::string("a"), std::string("b"));
  list.AddNotifyObject(nullptr, 42);
  stream.Clear();
  auto batch = list.TakeAll();
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[0]->Stream()->Bytes(), (TIdBytes{9, 8, 7}));
  EXPECT_EQ(batch[0]->Stream()->Position(), 0);
  EXPECT_EQ(batch[0]->FInt, 2);
  EXPECT_EQ(batch[0]->Text1, "1");
  EXPECT_EQ(batch[1]->Text + batch[1]->Text1, "ab");
  EXPECT_EQ(batch[2]->Connection(), nullptr);
  EXPECT_EQ(batch[2]->FInt, 42);
  EXPECT_EQ(connection.use_count(), 3);
  batch.clear();
  EXPECT_EQ(connection.use_count(), 1);

  list.AddNotifyObject(connection.get());
  list.DeleteAll(true);
  EXPECT_TRUE(connection->Freed());
  EXPECT_TRUE(list.IsEmpty());
}

}  // namespace
