// family_scope.cpp - the environment variable through which the library
// chooses its socket family, shared by every link of the process.
#include "family_scope.h"

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

#include "socket_family.h"

namespace datalink_python {

namespace {
using datalink::kSockTypeUnix;
using datalink::kSockTypeVariable;
std::mutex mutex;
std::condition_variable changed;
int users = 0;           // calls between their FamilyScope's construction and destruction
bool unix_now = false;   // the family those calls use
bool had_saved = false;  // the user's own value of the variable, put back at the end
std::string saved;
}  // namespace

FamilyScope::FamilyScope(bool unix_domain) {
  pybind11::gil_scoped_release no_gil;
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return users == 0 || unix_now == unix_domain; });
  if (users++ == 0) {
    const char* value = std::getenv(kSockTypeVariable);
    had_saved = value != nullptr;
    saved = value != nullptr ? value : "";
    unix_now = unix_domain;
    if (unix_domain)
      setenv(kSockTypeVariable, kSockTypeUnix, 1);
    else
      unsetenv(kSockTypeVariable);
  }
}

FamilyScope::~FamilyScope() {
  std::lock_guard<std::mutex> lock(mutex);
  if (--users == 0) {
    if (had_saved)
      setenv(kSockTypeVariable, saved.c_str(), 1);
    else
      unsetenv(kSockTypeVariable);
    changed.notify_all();
  }
}

}  // namespace datalink_python
