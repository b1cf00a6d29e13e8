// Links against the installed package and uses each of its three libraries.
#include <DataLink.h>
#include <ers_common.h>

#include <cstdio>

int main() {
  DataLink link(NATIVE_MODE);
  RNG_RingBuffer ring(1024);
  set_data_format_2024(true);
  bool ok = link.SetRetry(5) == DL_OK && link.IsLinkActive() == 0 && ring.size() == 1024 && is_data_format_2024();
  std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
