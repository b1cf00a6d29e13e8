// link_errors.h - the library's failing statuses as Python exceptions:
// LinkError with .status and .name, and a subclass for each common case.
#ifndef DATALINK_PYTHON_LINK_ERRORS_H
#define DATALINK_PYTHON_LINK_ERRORS_H

#include <pybind11/pybind11.h>

#include <string>

namespace datalink_python {

// Defines LinkError, its subclasses and status_name in the module.
void define_errors(pybind11::module_& m);

// Raises the exception class that stands for a failing status; the message
// starts with what (the call) and ends with the status's name and code.
[[noreturn]] void raise_status(int status, const std::string& what);
// Raises PeerClosed, carrying the status the call returned.
[[noreturn]] void raise_peer_closed(int status, const std::string& what);
bool is_peer_closed(pybind11::error_already_set& error);

// A signal that arrived while the library waited (its handler may raise
// KeyboardInterrupt) takes precedence over the status the wait ended with:
// raises it when there is one.
void check_signals();

}  // namespace datalink_python

#endif  // DATALINK_PYTHON_LINK_ERRORS_H
