// family_scope.h - TCP or UNIX-domain sockets for the library calls of a
// link.
#ifndef DATALINK_PYTHON_FAMILY_SCOPE_H
#define DATALINK_PYTHON_FAMILY_SCOPE_H

namespace datalink_python {

// The library picks TCP or UNIX-domain sockets from the process environment
// (VRQ5_DATA_LINK_SOCK_TYPE) when it sets up, connects and releases. Calls
// that want the same family may run at the same time; a call that wants the
// other family waits until they are done. The user's own value of the
// variable is put back when no call needs it any more. A connect holds its
// family while it waits for the listener's preamble, so a listener of the same
// family in another thread of this process can still be set up meanwhile.
//
// Waiting for the other family happens without the GIL; construct it with the
// GIL held.
class FamilyScope {
 public:
  explicit FamilyScope(bool unix_domain);
  ~FamilyScope();
  FamilyScope(const FamilyScope&) = delete;
  FamilyScope& operator=(const FamilyScope&) = delete;
};

}  // namespace datalink_python

#endif  // DATALINK_PYTHON_FAMILY_SCOPE_H
