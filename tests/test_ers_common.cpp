// test_ers_common.cpp - the recording server's time-stamp lists: trimming,
// matching by time or event id, null elements and the refusals.
#include "ers_common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

using testsupport::Capture;

namespace {

constexpr int kByTime = 0;
constexpr int kById = 1;

ers_event_time_stamp stamp(uint32_t timeup, uint32_t timelow, int64_t evid) {
  // db is deliberately wrong: both functions must compute the time themselves.
  return ers_event_time_stamp{{timeup, timelow}, evid, -1.0};
}

// An entry that owns its list and frees the stamps left in it, as the
// server does, so that the sanitizer sees every stamp the functions drop.
struct Entry {
  std::vector<ers_event_time_stamp*> list;
  ers_entry entry{};
  Entry() { entry.fast_event_time = &list; }
  ~Entry() {
    for (ers_event_time_stamp* s : list) delete s;
  }
  void fill(std::initializer_list<int64_t> evids) {
    // Stamp id lies at time {1, id}, with db as put_ev_time would store it.
    for (int64_t id : evids)
      list.push_back(new ers_event_time_stamp{{1, static_cast<uint32_t>(id)}, id, 1000000.0 + static_cast<double>(id)});
  }
  std::vector<int64_t> evids() const {
    std::vector<int64_t> out;
    for (const ers_event_time_stamp* s : list) out.push_back(s == nullptr ? -1 : s->evid);
    return out;
  }
};

int put(Entry& e, ers_event_time_stamp ts, unsigned int diff, int max, int mode) {
  return put_ev_time(&e.entry, &ts, diff, max, mode);
}

}  // namespace

TEST(ErsTimeStamps, RefusalsPrintTheirLineAndChangeNothing) {
  Entry e;
  e.fill({1, 2, 3});
  ers_event_time_stamp ts = stamp(5, 5, 9);
  const std::vector<int64_t> before = e.evids();
  {
    Capture out(1);
    EXPECT_EQ(put_ev_time(nullptr, &ts, 0, 0, kByTime), 1);  // the entry is checked before max
    EXPECT_EQ(out.text(), "put_ev_time() NULL pointer to entry\n");
  }
  for (int bad_max : {0, -4, 1}) {
    Capture out(1);
    EXPECT_EQ(put_ev_time(&e.entry, &ts, 0, bad_max, kByTime), 1) << bad_max;
    EXPECT_EQ(out.text(), "put_ev_time() invalid value for MAX\n") << bad_max;
  }
  EXPECT_EQ(e.evids(), before);
  {
    Entry bare;
    bare.entry.fast_event_time = nullptr;
    Capture out(1);
    EXPECT_EQ(put_ev_time(&bare.entry, &ts, 0, 1, kByTime), 1);  // max comes before the list
    EXPECT_EQ(put_ev_time(&bare.entry, &ts, 0, 3, kByTime), 1);
    EXPECT_EQ(out.text(), "put_ev_time() invalid value for MAX\nput_ev_time() NULL pointer to vector\n");
  }
  {
    Capture out(1);
    EXPECT_EQ(put_ev_time(&e.entry, nullptr, 0, 2, kByTime), 1);  // refused before the trimming
    int indx = -7;
    EXPECT_EQ(find_ev_time(nullptr, &ts, 0, &indx, kByTime), 1);
    EXPECT_EQ(indx, -7);
    EXPECT_EQ(out.text(), "find_ev_time() NULL pointer to list\n");
  }
  EXPECT_EQ(e.evids(), before);
}

TEST(ErsTimeStamps, TrimmingKeepsAtMostMaxMinusOneNewestLast) {
  Entry two;
  two.fill({1, 2, 3});
  EXPECT_EQ(put(two, stamp(7, 0, 70), 0, 2, kByTime), 0);
  EXPECT_EQ(two.evids(), (std::vector<int64_t>{70}));
  // With max 2 even a stamp already present is dropped first, then added anew.
  EXPECT_EQ(put(two, stamp(7, 0, 70), 0, 2, kByTime), 0);
  EXPECT_EQ(two.evids(), (std::vector<int64_t>{70}));

  Entry five;
  five.fill({1, 2, 3, 4});
  EXPECT_EQ(put(five, stamp(9, 0, 90), 0, 5, kByTime), 0);
  EXPECT_EQ(five.evids(), (std::vector<int64_t>{2, 3, 4, 90}));
  // Present already: nothing is added, but the oldest still goes.
  EXPECT_EQ(put(five, stamp(50, 0, 3), 0, 5, kById), 0);
  EXPECT_EQ(five.evids(), (std::vector<int64_t>{3, 4, 90}));
  EXPECT_EQ(put(five, stamp(50, 0, 33), 0, 5, kById), 0);
  EXPECT_EQ(five.evids(), (std::vector<int64_t>{3, 4, 90, 33}));
  // The only match was the oldest stamp: it is dropped first, so ts comes back.
  EXPECT_EQ(put(five, stamp(50, 0, 3), 0, 5, kById), 0);
  EXPECT_EQ(five.evids(), (std::vector<int64_t>{4, 90, 33, 3}));

  Entry roomy;
  for (int64_t id = 0; id < 3; ++id) EXPECT_EQ(put(roomy, stamp(1, static_cast<uint32_t>(id), id), 0, 5, kById), 0);
  EXPECT_EQ(roomy.evids(), (std::vector<int64_t>{0, 1, 2}));
}

TEST(ErsTimeStamps, MatchingByTimeIsInclusiveAndByIdIgnoresTime) {
  Entry e;
  ASSERT_EQ(put(e, stamp(10, 999990, 1), 0, 100, kByTime), 0);
  ASSERT_EQ(e.list.size(), 1u);
  EXPECT_DOUBLE_EQ(e.list[0]->db, 10999990.0);
  // 20 units apart across a timeup boundary: inside a tolerance of 20, not of 19.
  EXPECT_EQ(put(e, stamp(11, 10, 2), 20, 100, kByTime), 0);
  EXPECT_EQ(e.list.size(), 1u);
  EXPECT_EQ(put(e, stamp(11, 10, 3), 19, 100, kByTime), 0);
  EXPECT_EQ(e.evids(), (std::vector<int64_t>{1, 3}));

  // By id, times play no part.
  EXPECT_EQ(put(e, stamp(500, 0, 1), 0, 100, kById), 0);
  EXPECT_EQ(put(e, stamp(10, 999990, 4), 1000000, 100, kById), 0);
  EXPECT_EQ(e.evids(), (std::vector<int64_t>{1, 3, 4}));

  // A timeup too large for 32-bit arithmetic still gives the exact value.
  Entry big;
  ASSERT_EQ(put(big, stamp(4000000000u, 123456, 5), 0, 3, kByTime), 0);
  EXPECT_DOUBLE_EQ(big.list[0]->db, 4000000000123456.0);
}

TEST(ErsTimeStamps, NullStampsAreSkippedAndDroppedWithoutDelete) {
  Entry e;
  e.list = {nullptr, new ers_event_time_stamp{{1, 0}, 8, 1000000.0}, nullptr};
  // max 4 trims to two elements: the leading null goes, nothing is deleted.
  EXPECT_EQ(put(e, stamp(1, 0, 8), 0, 4, kById), 0);
  EXPECT_EQ(e.evids(), (std::vector<int64_t>{8, -1}));
  EXPECT_EQ(put(e, stamp(2, 0, 9), 0, 4, kById), 0);
  EXPECT_EQ(e.evids(), (std::vector<int64_t>{8, -1, 9}));
  // max 2 empties the list, nulls included, and adds the new stamp.
  e.list.insert(e.list.begin(), nullptr);
  EXPECT_EQ(put(e, stamp(3, 0, 10), 0, 2, kById), 0);
  EXPECT_EQ(e.evids(), (std::vector<int64_t>{10}));
}

TEST(ErsTimeStamps, FindReportsTheFirstMatchingEntrysPosition) {
  Entry none;  // an entry without a list takes part in no search
  none.entry.fast_event_time = nullptr;
  Entry miss, hit, later;
  miss.list = {nullptr};
  miss.fill({5});
  hit.fill({6, 7});
  hit.list.insert(hit.list.begin(), nullptr);
  later.fill({7});
  std::vector<ers_entry*> lst{&none.entry, nullptr, &miss.entry, &hit.entry, &later.entry};

  ers_event_time_stamp ts = stamp(99, 0, 7);
  int indx = -1;
  EXPECT_EQ(find_ev_time(&lst, &ts, 0, &indx, kById), 0);
  EXPECT_EQ(indx, 3);  // the entry's position in lst, not the stamp's in its list
  EXPECT_EQ(find_ev_time(&lst, &ts, 0, nullptr, kById), 0);

  // By time, with the given stamp's db ignored: {1, 6} is 1000006.
  ts = stamp(1, 9, 0);
  EXPECT_EQ(find_ev_time(&lst, &ts, 3, &indx, kByTime), 0);
  EXPECT_EQ(indx, 3);
  indx = -1;
  EXPECT_EQ(find_ev_time(&lst, &ts, 1, &indx, kByTime), 1);
  EXPECT_EQ(indx, -1);

  std::vector<ers_entry*> empty;
  std::vector<ers_entry*> listless{&none.entry};
  Capture out(1);
  EXPECT_EQ(find_ev_time(&empty, &ts, 100, &indx, kByTime), 1);
  EXPECT_EQ(find_ev_time(&listless, &ts, 100, &indx, kByTime), 1);
  EXPECT_EQ(find_ev_time(&lst, nullptr, 100, &indx, kByTime), 1);
  EXPECT_EQ(indx, -1);
  EXPECT_EQ(out.text(), "");
}

TEST(ErsTimeStamps, TagTableIsExportedInFieldOrder) {
  const std::vector<std::string> expected{"ERS",   "SERVER", "RUN_TYPE", "EXP",    "STREAM", "RUN_NUMBER",
                                          "START", "RESET",  "STATUS",   "ID",     "DATA",   "PORT",
                                          "FSIZE", "BUSY",   "NFILE",    "RUNMASK"};
  std::vector<std::string> actual(ers_tags, ers_tags + 16);
  EXPECT_EQ(actual, expected);
}
