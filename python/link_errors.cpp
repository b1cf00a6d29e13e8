// link_errors.cpp - the exception classes, defined in Python so that they
// read like ordinary exception classes, and how statuses map onto them.
#include "link_errors.h"

#include <pybind11/eval.h>

#include "DataLinkCommon.h"
#include "status_name.h"

namespace py = pybind11;

namespace datalink_python {

namespace {

// Defined in Python so that they read like ordinary exception classes.
const char* const kExceptionSource = R"(
class LinkError(Exception):
    """A call on the link failed with a status code of the library.

    ``status`` is the code (an int, 1 to 30) and ``name`` its name, such as
    ``"DL_ERR_TIMEOUT"``. Subclasses stand for the common cases.
    """

    def __init__(self, message, status=0, name=""):
        super().__init__(message)
        self.status = status
        self.name = name


class Timeout(LinkError):
    """Nothing arrived within the time-out (status 22, DL_ERR_TIMEOUT)."""


class NoRoom(LinkError):
    """No room for the unit (status 25, DL_ERR_BUFFER_SIZE).

    A collector raises it when its ring buffer cannot take the announced block
    (the producer is told so by the acknowledgement and raises it as well),
    and an image or spectrum receiver when the caller's buffer is too small.
    """


class NotConnected(LinkError):
    """The link holds no connection (status 6, DL_ERR_NOT_CONNECTED)."""


class PeerClosed(LinkError):
    """The peer closed the connection; ``status`` is what the call returned."""
)";

struct Errors {
  py::object link_error, timeout, no_room, not_connected, peer_closed;
};
Errors* errors = nullptr;  // set once at import, kept as long as the process runs

[[noreturn]] void raise_as(const py::object& cls, int status, const std::string& what) {
  const char* name = datalink::status_name(status);
  std::string message = what + ": " + name + " (" + std::to_string(status) + ")";
  py::object error = cls(message, status, name);
  PyErr_SetObject(cls.ptr(), error.ptr());
  throw py::error_already_set();
}

}  // namespace

[[noreturn]] void raise_status(int status, const std::string& what) {
  switch (status) {
    case DL_ERR_TIMEOUT:
      raise_as(errors->timeout, status, what);
    case DL_ERR_BUFFER_SIZE:
      raise_as(errors->no_room, status, what);
    case DL_ERR_NOT_CONNECTED:
      raise_as(errors->not_connected, status, what);
    default:
      raise_as(errors->link_error, status, what);
  }
}

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

void raise_peer_closed(int status, const std::string& what) { raise_as(errors->peer_closed, status, what); }

bool is_peer_closed(py::error_already_set& error) { return error.matches(errors->peer_closed); }

void define_errors(py::module_& m) {
  py::exec(kExceptionSource, m.attr("__dict__"));
  errors = new Errors{m.attr("LinkError"), m.attr("Timeout"), m.attr("NoRoom"), m.attr("NotConnected"),
                      m.attr("PeerClosed")};
  m.def("status_name", &datalink::status_name, py::arg("status"),
        "The name of a status code of the library, such as \"DL_ERR_TIMEOUT\" for 22.");
}

}  // namespace datalink_python
