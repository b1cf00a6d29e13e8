// quiet_output.h - per-thread silencing of the link's own messages.
//
// The link reports on stdout and stderr through C stdio. The module links its
// copy of the library with those stdio functions wrapped: while a QuietScope
// lives on a thread, the wrapped functions drop what that thread prints, and
// everything else (other threads, other libraries, Python's own streams)
// prints as before. Redirecting the process's descriptors instead would also
// swallow whatever other threads print while a quiet link waits in a receive.
#ifndef DATALINK_PYTHON_QUIET_OUTPUT_H
#define DATALINK_PYTHON_QUIET_OUTPUT_H

namespace datalink_python {

class QuietScope {
 public:
  explicit QuietScope(bool quiet);
  ~QuietScope();
  QuietScope(const QuietScope&) = delete;
  QuietScope& operator=(const QuietScope&) = delete;

 private:
  bool previous_;
};

}  // namespace datalink_python

#endif  // DATALINK_PYTHON_QUIET_OUTPUT_H
