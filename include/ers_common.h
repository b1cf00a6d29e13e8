// ers_common.h - records of the recording server and its per-entry lists of
// fast-event time stamps.
//
// The library neither reads nor writes an entry beyond fast_event_time and the
// list it points to; the other fields are the server's own. The functions
// take no lock: one thread at a time works on a list.
#ifndef ERS_COMMON_H
#define ERS_COMMON_H

#include <cstdint>
#include <vector>

#include "DataLinkCommon.h"
#include "VRQ5evutl.h"

class DataLink;

// One fast-event time stamp.
struct ers_event_time_stamp {
  time_stamp time;  // timeup, and timelow in millionths of a timeup unit
  int64_t evid;     // event id
  double db;        // the time as one number: timeup * 1000000 + timelow
};

// One entry of the recording server.
struct ers_entry {
  char type[80];
  char exp[80];
  char stream[80];
  char run[80];
  char start[80];
  char reset[80];
  char status[80];
  char id[80];
  char data[80];
  char port[80];
  char fsize[80];
  char busy[80];
  char nfiles[80];
  char runmask[80];
  int id_rb;
  int events;
  int status_rb;
  int port_rb;
  int con_status;
  double last_upd[32];
  DataLink* d_sender;
  int nfiles_rb;
  // The entry's time stamps, oldest first; null when it keeps none. The
  // entry's creator makes and destroys the vector and frees the stamps left
  // in it; put_ev_time frees only the stamps it drops. A null element is
  // allowed and never matches.
  std::vector<ers_event_time_stamp*>* fast_event_time;
};

// Configuration tags: "ERS", "SERVER", then one per text field of ers_entry
// from type to runmask, in field order.
extern DATALINK_API const char* ers_tags[16];

// Looks for ts in the lists of all entries of lst. With mode 0 a stored stamp
// matches when its time lies within diff (inclusive, in timelow units) of the
// time of ts; with any other mode when its evid equals that of ts. The db of
// ts is ignored. Null entries, entries without a list and null stamps are
// skipped. Returns 0 on the first match, after storing the position of its
// entry in lst into *indx when indx is not null; 1 when nothing matches
// (*indx untouched) or lst or ts is null. Nothing is allocated or freed.
DATALINK_API int find_ev_time(std::vector<ers_entry*>* lst, ers_event_time_stamp* ts, unsigned int diff, int* indx,
                              int mode);

// Adds a copy of ts (time and evid; db computed afresh) to the end of the
// list of ent unless a stamp matching it by the test of find_ev_time is
// already there. First the list is cut from the front to at most max - 2
// stamps, deleting the dropped ones (null elements are dropped without a
// delete); so afterwards it holds at most max - 1. Returns 0 when the stamp
// was added or found; 1, changing nothing, when ent, its list or ts is null or
// max is below 2. The list owns the new stamp as a single object from new.
DATALINK_API int put_ev_time(ers_entry* ent, ers_event_time_stamp* ts, unsigned int diff, int max, int mode);

#endif  // ERS_COMMON_H
