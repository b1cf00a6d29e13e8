// link_internal.h - what the link's own source files share beyond the
// installed header.
#ifndef DATALINK_LINK_INTERNAL_H
#define DATALINK_LINK_INTERNAL_H

namespace datalink {

// The conversion routine's own code from the last SwapBuffer() of this
// thread, for ReceiveEvent's failure line. An object is used by one thread at
// a time, so the value read right after the call is that call's.
int last_swap_code();

}  // namespace datalink

#endif  // DATALINK_LINK_INTERNAL_H
