// link_internal.h - what the link's own source files share beyond the
// installed header.
#ifndef DATALINK_LINK_INTERNAL_H
#define DATALINK_LINK_INTERNAL_H

namespace datalink {

// The conversion routine's own code from the last SwapBuffer() of this
// thread, for ReceiveEvent's failure line. An object is used by one thread at
// a time, so the value read right after the call is that call's.
int last_swap_code();

// The two refusals every receiver (and SendRequest) starts with, in their
// fixed order: DL_ERR_NOT_CONNECTED with not_connected_text, then
// DL_ERR_RECEIVE_LOCK with lock_text, each printed as a line on standard
// error; DL_OK when neither applies.
int receive_guard(int connected, int receive_lock, const char* not_connected_text, const char* lock_text);

}  // namespace datalink

#endif  // DATALINK_LINK_INTERNAL_H
