// test_ers_common.cpp - the recording server's time-stamp lists: trimming,
// matching by time or event id, null elements and the refusals.
#include "ers_common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

using testsupport::Capture;
using Ids = std::vector<int64_t>;

namespace {

constexpr int kByTime = 0;
constexpr int kById = 1;

// db is deliberately wrong: both functions must compute the time themselves.
ers_event_time_stamp stamp(uint32_t timeup, uint32_t timelow, int64_t evid) { return {{timeup, timelow}, evid, -1.0}; }

// An entry that owns its list and frees the stamps left in it, as the server
// does, so that the sanitizer sees each stamp the functions drop or leak.
struct Entry {
  std::vector<ers_event_time_stamp*> list;
  ers_entry entry{};
  explicit Entry(Ids ids = {}) {
    entry.fast_event_time = &list;
    // Stamp id lies at time {1, id}, with db as put_ev_time stores it.
    for (int64_t id : ids) list.push_back(new ers_event_time_stamp{{1, uint32_t(id)}, id, 1e6 + double(id)});
  }
  ~Entry() {
    for (ers_event_time_stamp* s : list) delete s;
  }
  int put(ers_event_time_stamp ts, unsigned int diff, int max, int mode) {
    return put_ev_time(&entry, &ts, diff, max, mode);
  }
  Ids ids() const {
    Ids out;
    for (const ers_event_time_stamp* s : list) out.push_back(s == nullptr ? -1 : s->evid);
    return out;
  }
};

}  // namespace

TEST(ErsTimeStamps, RefusalsPrintTheirLineInOrderAndChangeNothing) {
  Entry e({1, 2, 3}), bare;
  bare.entry.fast_event_time = nullptr;
  ers_event_time_stamp ts = stamp(5, 5, 9);
  int indx = -7;
  Capture out(1);
  EXPECT_EQ(put_ev_time(nullptr, &ts, 0, 0, kByTime), 1);
  for (int bad_max : {0, -4, 1}) EXPECT_EQ(e.put(ts, 0, bad_max, kByTime), 1);  // 1 would never stop trimming
  EXPECT_EQ(put_ev_time(&bare.entry, &ts, 0, 1, kByTime), 1);
  EXPECT_EQ(put_ev_time(&bare.entry, &ts, 0, 3, kByTime), 1);
  EXPECT_EQ(put_ev_time(&e.entry, nullptr, 0, 2, kByTime), 1);  // silent, before the trimming
  EXPECT_EQ(find_ev_time(nullptr, &ts, 0, &indx, kByTime), 1);
  EXPECT_EQ(out.text(),
            "put_ev_time() NULL pointer to entry\n"
            "put_ev_time() invalid value for MAX\nput_ev_time() invalid value for MAX\n"
            "put_ev_time() invalid value for MAX\nput_ev_time() invalid value for MAX\n"
            "put_ev_time() NULL pointer to vector\nfind_ev_time() NULL pointer to list\n");
  EXPECT_EQ(e.ids(), (Ids{1, 2, 3}));
  EXPECT_EQ(indx, -7);
  EXPECT_STREQ(ers_tags[15], "RUNMASK");  // the table is exported
}

TEST(ErsTimeStamps, TrimmingKeepsAtMostMaxMinusOneAndDropsEvenWhenPresent) {
  Entry two({1, 2, 3});
  EXPECT_EQ(two.put(stamp(7, 0, 70), 0, 2, kByTime), 0);
  EXPECT_EQ(two.ids(), (Ids{70}));
  Entry five({1, 2, 3, 4});
  EXPECT_EQ(five.put(stamp(9, 0, 90), 0, 5, kByTime), 0);
  EXPECT_EQ(five.ids(), (Ids{2, 3, 4, 90}));
  EXPECT_EQ(five.put(stamp(50, 0, 3), 0, 5, kById), 0);  // present: trimmed, nothing added
  EXPECT_EQ(five.ids(), (Ids{3, 4, 90}));
  EXPECT_EQ(five.put(stamp(50, 0, 33), 0, 5, kById), 0);
  EXPECT_EQ(five.put(stamp(50, 0, 3), 0, 5, kById), 0);  // the match was the oldest: dropped, then added
  EXPECT_EQ(five.ids(), (Ids{4, 90, 33, 3}));
  // Null stamps are skipped and dropped without a delete.
  Entry nulls;
  nulls.list = {nullptr, new ers_event_time_stamp{{1, 0}, 8, 1e6}, nullptr};
  EXPECT_EQ(nulls.put(stamp(1, 0, 8), 0, 4, kById), 0);
  EXPECT_EQ(nulls.ids(), (Ids{8, -1}));
  EXPECT_EQ(nulls.put(stamp(2, 0, 9), 0, 4, kById), 0);
  EXPECT_EQ(nulls.ids(), (Ids{8, -1, 9}));
  nulls.list.insert(nulls.list.begin(), nullptr);
  EXPECT_EQ(nulls.put(stamp(3, 0, 10), 0, 2, kById), 0);
  EXPECT_EQ(nulls.ids(), (Ids{10}));
  // The stamp given may be one the trimming deletes; its copy is what is added.
  Entry self({5, 6});
  EXPECT_EQ(put_ev_time(&self.entry, self.list.front(), 0, 2, kById), 0);
  EXPECT_EQ(self.ids(), (Ids{5}));
}

TEST(ErsTimeStamps, MatchingByTimeIsInclusiveAndDbIsRecomputed) {
  Entry e;
  ASSERT_EQ(e.put(stamp(10, 999990, 1), 0, 100, kByTime), 0);
  EXPECT_DOUBLE_EQ(e.list.at(0)->db, 10999990.0);
  EXPECT_EQ(e.put(stamp(11, 10, 2), 20, 100, kByTime), 0);  // 20 apart across a timeup step
  EXPECT_EQ(e.put(stamp(11, 10, 3), 19, 100, kByTime), 0);
  EXPECT_EQ(e.put(stamp(500, 0, 1), 0, 100, kById), 0);  // by id, times play no part
  EXPECT_EQ(e.put(stamp(10, 999990, 4), 1000000, 100, kById), 0);
  EXPECT_EQ(e.ids(), (Ids{1, 3, 4}));
  Entry big;  // beyond 32-bit arithmetic, still exact
  ASSERT_EQ(big.put(stamp(4000000000u, 123456, 5), 0, 3, kByTime), 0);
  EXPECT_DOUBLE_EQ(big.list.at(0)->db, 4000000000123456.0);
}

TEST(ErsTimeStamps, FindWritesTheFirstMatchingEntrysPosition) {
  Entry none, miss({5}), hit({6, 7}), later({7});
  none.entry.fast_event_time = nullptr;
  miss.list.insert(miss.list.begin(), nullptr);
  std::vector<ers_entry*> lst{&none.entry, nullptr, &miss.entry, &hit.entry, &later.entry}, empty;
  ers_event_time_stamp ts = stamp(99, 0, 7);
  int indx = -1;
  EXPECT_EQ(find_ev_time(&lst, &ts, 0, &indx, kById), 0);
  EXPECT_EQ(indx, 3);  // the entry's position in lst, not the stamp's
  EXPECT_EQ(find_ev_time(&lst, &ts, 0, nullptr, kById), 0);
  ts = stamp(1, 9, 0);  // time 1000009: hit's 1000006 lies 3 away, later's 7 only 2
  indx = -1;
  EXPECT_EQ(find_ev_time(&lst, &ts, 3, &indx, kByTime), 0);
  EXPECT_EQ(indx, 3);
  indx = -1;
  Capture out(1);
  EXPECT_EQ(find_ev_time(&lst, &ts, 1, &indx, kByTime), 1);
  EXPECT_EQ(find_ev_time(&empty, &ts, 100, &indx, kByTime), 1);
  EXPECT_EQ(find_ev_time(&lst, nullptr, 100, &indx, kByTime), 1);
  EXPECT_EQ(indx, -1);
  EXPECT_EQ(out.text(), "");
}
