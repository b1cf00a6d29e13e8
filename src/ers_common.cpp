// ers_common.cpp - the recording server's configuration tags and its bounded
// lists of fast-event time stamps.
#include "ers_common.h"

#include <cmath>
#include <cstddef>

#include "messages.h"

using namespace datalink;

const char* ers_tags[16] = {"ERS",    "SERVER", "RUN_TYPE", "EXP",  "STREAM", "RUN_NUMBER", "START", "RESET",
                            "STATUS", "ID",     "DATA",     "PORT", "FSIZE",  "BUSY",       "NFILE", "RUNMASK"};

namespace {

constexpr double kTimelowPerTimeup = 1000000.0;
// With max 1 the trimming would never stop on an empty list; 2 is the least
// bound that leaves room for the stamp being added.
constexpr int kMinListBound = 2;

// The stamp's own db is never trusted; the time is recomputed from its words.
double time_value(const ers_event_time_stamp& ts) {
  return static_cast<double>(ts.time.timeup) * kTimelowPerTimeup + static_cast<double>(ts.time.timelow);
}

bool matches(const ers_event_time_stamp* stored, const ers_event_time_stamp& ts, double value, unsigned int diff,
             int mode) {
  if (stored == nullptr) return false;
  if (mode == 0) return std::fabs(stored->db - value) <= static_cast<double>(diff);
  return stored->evid == ts.evid;
}

bool list_holds(const std::vector<ers_event_time_stamp*>& list, const ers_event_time_stamp& ts, unsigned int diff,
                int mode) {
  const double value = time_value(ts);
  for (const ers_event_time_stamp* stored : list)
    if (matches(stored, ts, value, diff, mode)) return true;
  return false;
}

}  // namespace

int find_ev_time(std::vector<ers_entry*>* lst, ers_event_time_stamp* ts, unsigned int diff, int* indx, int mode) {
  if (lst == nullptr) {
    out_line("find_ev_time() NULL pointer to list");
    return 1;
  }
  if (ts == nullptr) return 1;
  for (size_t i = 0; i < lst->size(); ++i) {
    const ers_entry* entry = (*lst)[i];
    if (entry == nullptr || entry->fast_event_time == nullptr) continue;
    if (!list_holds(*entry->fast_event_time, *ts, diff, mode)) continue;
    if (indx != nullptr) *indx = static_cast<int>(i);
    return 0;
  }
  return 1;
}

int put_ev_time(ers_entry* ent, ers_event_time_stamp* ts, unsigned int diff, int max, int mode) {
  if (ent == nullptr) {
    out_line("put_ev_time() NULL pointer to entry");
    return 1;
  }
  if (max < kMinListBound) {
    out_line("put_ev_time() invalid value for MAX");
    return 1;
  }
  if (ent->fast_event_time == nullptr) {
    out_line("put_ev_time() NULL pointer to vector");
    return 1;
  }
  if (ts == nullptr) return 1;
  // ts may be one of the stamps the trimming deletes.
  const ers_event_time_stamp given = *ts;

  // The oldest stamps go first, also when ts turns out to be present already.
  std::vector<ers_event_time_stamp*>& list = *ent->fast_event_time;
  while (!list.empty() && list.size() >= static_cast<size_t>(max - 1)) {
    delete list.front();
    list.erase(list.begin());
  }
  if (list_holds(list, given, diff, mode)) return 0;
  list.reserve(list.size() + 1);  // a failed growth must not leak the new stamp
  list.push_back(new ers_event_time_stamp{given.time, given.evid, time_value(given)});
  return 0;
}
