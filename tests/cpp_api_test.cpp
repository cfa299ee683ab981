// The C++ interface where it adds to the C API: resolution, the codes passed
// on, one clean-up per session, locks and pool bins given back by handles.
#include "zrdb.hpp"

#include <array>
#include <chrono>
#include <set>
#include <string>
#include <tuple>

#include "support/fixture.h"

namespace zrdb::test {

constexpr int32_t kList[] = {4901, 4902, 4903, 4904, 4905, 4911};

class CppApiTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=4901, name=levels, type=integer, size=4*3, value=7\n"
           "id=4902, name=label, type=string, size=16*2, value=idle\n"
           "id=4903, name=sem, type=semap, value=/zrdbt_cpp:0\n"
           "id=4904, name=pool, type=thrd_rbuf, size=16*2\n"
           "id=4905, name=events, type=cbuf, size=32*4\n"
           "id=4906, name=inbox, type=msgbuf, size=76*2\n"
           "id=4907, name=req, type=semap, value=/zrdbt_cpp_req:0\n"
           "id=4908, name=ack, type=semap, value=/zrdbt_cpp_ack:0\n"
           "id=4909, name=ask, realtime=4906*4907*4908\n"
           "id=4910, name=blk, type=user, size=4*2\n"
           "id=4911, name=pipes, type=thrd_fifo, size=8*2\n";
  }
  std::vector<std::string> semaphores() const override {
    return {"/zrdbt_cpp", "/zrdbt_cpp_req", "/zrdbt_cpp_ack"};
  }
  std::vector<int32_t> lockedItems() const override { return {4904, 4911}; }
  void SetUp() override {
    DatabaseTest::SetUp();
    zrdb_Cleanup();  // each test attaches through the C++ session
  }
  Result<Database> session() const { return Database::open(dbPath_.c_str(), HBUSER_CLIENT, kList); }
};

using Row = std::tuple<const char *, int, int>;  // what, code, expected code

TEST_F(CppApiTest, NamesResolveOnlyToItemsOfTheirTypeAndElementSize) {
  const std::string app = dir_.write("cpp.app",
                                     "id = 4901, name = levels\nid = 4901, name = events\n"
                                     "name = pair, size = 4*2, symblink = 4901(1-2)\n"
                                     "name = mixed, size = 4*2, symblink = 4901(0-0):4902(0-0)\n");
  const auto attach = Application::open("cpp_test", dbPath_.c_str(), app.c_str());
  ASSERT_TRUE(attach) << attach.error();
  EXPECT_STREQ(zrdbdbg_app_name, "cpp_test");
  const Row rows[] = {
      {"int32_t levels", Item<int32_t>::find("levels").error(), 0},
      {"link to levels", Item<int32_t>::find("pair").error(), 0},
      {"a prefix of a name", Item<int32_t>::find("level").error(), -2},
      {"undefined id", Semaphore::at(4999).error(), -2},
      {"id out of range", Item<int32_t>::at(5000).error(), -1},
      {"semaphore as values", Item<int32_t>::find("sem").error(), -3},
      {"values as a semaphore", Semaphore::find("levels").error(), -3},
      {"int16_t levels", Item<int16_t>::find("levels").error(), kErrSize},
      {"label's whole size", Item<std::array<char, 32>>::find("label").error(), kErrSize},
      {"link whose 2nd pair is label", Item<int32_t>::find("mixed").error(), kErrSize},
      {"the application file's name first", Item<int32_t>::find("events").error(), 0},
  };
  for (const auto &[what, code, expected] : rows) EXPECT_EQ(code, expected) << what;
  const auto pair = Item<int32_t>::find("pair");  // levels[1..2]
  ASSERT_TRUE(pair && pair->count() == 2);
  EXPECT_TRUE(pair->set(1, 42));
  EXPECT_EQ(Item<int32_t>::at(4901)->get(2).value_or(0), 42);
}

TEST_F(CppApiTest, CallsPassOnTheCodesOfTheCLibrary) {
  auto db = session();
  const auto levels = Item<int32_t>::find("levels");
  const auto sem = Semaphore::find("sem");
  const auto events = CircularBuffer::find("events");
  ASSERT_TRUE(db && levels && sem && events) << db.error();
  std::array<std::byte, 32> part{};
  const Row rows[] = {
      {"element past the last", levels->get(3).error(), -1},
      {"negative element", levels->set(-1, 0).error(), -1},
      {"no wait on a taken semaphore", sem->wait_for(std::chrono::microseconds(0)).error(), -1},
      {"empty circular buffer", events->read(part, part).error(), -1},
      {"empty parts are parts", events->write({}, {}).error(), 0},
  };
  for (const auto &[what, code, expected] : rows) EXPECT_EQ(code, expected) << what;
  db->close();  // the same handles now reach items this process does not bind
  EXPECT_EQ(levels->get(0).error(), -3);
  EXPECT_EQ(sem->post().error(), -3);
}

TEST_F(CppApiTest, ASessionDetachesOnceAndAFailedOneLeavesNothingAttached) {
  // An id list needs a client mode: zrdb_Init refuses it after attaching.
  EXPECT_EQ(Database::open(dbPath_.c_str(), HBUSER_PRINT, kList).error(), -2);
  EXPECT_EQ(zrdb_getBaseAddr(), nullptr);
  auto first = session();
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ(session().error(), kErrAttached);  // and the first stays attached
  {
    Database moved = std::move(*first);
    *first = std::move(moved);
  }  // the moved-from object goes without cleaning up
  EXPECT_NE(zrdb_getBaseAddr(), nullptr);
  first = Failure{-1};  // the session object goes
  EXPECT_EQ(zrdb_getBaseAddr(), nullptr);
}

TEST_F(CppApiTest, HandlesOfItemsNotBoundHereAreRefusedAndCallsNobodyAnswersFail) {
  {
    const auto db = session();  // binds 4901..4905 only
    ASSERT_TRUE(db) << db.error();
    const std::pair<Status, int32_t> rows[] = {{Item<int32_t>::find("blk").status(), 4910},
                                               {Command::find("ask").status(), 4906}};
    for (const auto &[st, item] : rows)  // 4906: the first server item to list
      EXPECT_EQ(std::make_pair(st.error(), st.item()), std::make_pair(kErrUnbound, item));
  }
  const auto db = Database::open(dbPath_.c_str(), HBUSER_CLIENT);  // binds every item
  const auto ask = Command::find("ask");
  ASSERT_TRUE(db && ask) << db.error() << " " << ask.error();
  EXPECT_EQ(ask->call_for({}, 0, std::chrono::milliseconds(0)).error(), kErrTimeout);
  EXPECT_EQ(ask->post({}).error(), kErrNoServer);
  // A user item has no value functions: its elements are in its block.
  const auto blk = Item<uint32_t>::find("blk");
  ASSERT_TRUE(blk && blk->set(1, 0xC0FFEEu)) << blk.error();
  uint32_t *block = &data_of<uint32_t>(4910);
  EXPECT_EQ(block[1], 0xC0FFEEu);
  block[0] = 7;
  EXPECT_EQ(blk->get(0).value_or(0), 7u);
}

TEST_F(CppApiTest, EveryCodeReadsAsItsOwnTextAndAFailedValueIsNeverRead) {
  const int codes[] = {
      0,        -1,           -2,          -3,          -4,          -5, ZRDB_ERR_CORRUPT,
      kErrSize, kErrAttached, kErrTimeout, kErrUnbound, kErrNoServer};
  std::set<std::string> texts{Status(-6).message()};  // the text of unknown codes
  for (const int code : codes) EXPECT_TRUE(texts.insert(Status(code).message()).second) << code;
  const Result<int32_t> failed(Failure{kErrUnbound, 4910});
  EXPECT_DEATH((void)*failed, "not bound in this process.*item 4910");
}

TEST_F(CppApiTest, ALockAndBinsGoBackWithTheirHandlesUnlessReleased) {
  const auto db = session();
  const auto sem = Semaphore::find("sem");
  const auto pipes = ThreadFifo::find("pipes");
  const auto pool = BufferPool::find("pool");
  ASSERT_TRUE(db && sem && pipes && pool) << db.error();
  ASSERT_TRUE(sem->post());  // the lock is free
  {
    const auto held = sem->lock_for(std::chrono::microseconds(0));
    ASSERT_TRUE(held);
    EXPECT_EQ(sem->lock_for(std::chrono::microseconds(0)).error(), kErrTimeout);
  }
  EXPECT_EQ(sem->value().value_or(-1), 1);
  std::array<std::byte, 8> buf{};
  EXPECT_EQ(pipes->get_for(1, buf, std::chrono::milliseconds(0)).error(), kErrTimeout);
  const uint32_t &freeBins = data_of<ZRDB_RBUF_INFO>(4904).fb;
  ZRDB_RBUF_BIN *raw = nullptr;
  {
    auto bin = pool->alloc();
    auto kept = pool->alloc();
    ASSERT_TRUE(bin && kept);
    EXPECT_EQ(bin->data().size(), 16u);
    EXPECT_EQ(pool->alloc().error(), -1);
    BufferPool::Bin moved = std::move(*bin);  // a bin recycled twice would count twice
    raw = kept->release();
  }
  EXPECT_EQ(freeBins, 1u);
  { BufferPool::Bin adopted(raw); }
  EXPECT_EQ(freeBins, 2u);
  {
    auto bin = pool->alloc();
    ASSERT_TRUE(bin && pipes->put_bin(1, *bin));
    EXPECT_FALSE(*bin);  // given up to the queue
    const auto got = pipes->get_bin(1);
    ASSERT_TRUE(got);
    EXPECT_EQ(freeBins, 1u);
  }
  EXPECT_EQ(freeBins, 2u);  // the receiving end gave it back
}

}  // namespace zrdb::test
