// commands.h - the subcommands of the datalink tool and their options.
#ifndef DATALINK_TOOL_COMMANDS_H
#define DATALINK_TOOL_COMMANDS_H

#include <cstdint>
#include <string>

#include "common.h"
#include "units.h"

namespace dltool {

struct ListenOptions {
  LinkOptions link;
  uint64_t ring_bytes = 64ull << 20;
  std::string out_file;
  std::string pcap_file;  // the received units as a packet capture
  uint64_t count = 0;     // 0: until the producer closes or Ctrl-C
  bool ack = false;       // answer every header from the ring's free space
  bool verbose = false;
  bool hex = false;
};

struct SendOptions {
  LinkOptions link;
  bool ack = false;
  uint64_t count = 1000;
  uint64_t size = 1024;  // bytes of body behind the header
  Kind kind = Kind::Event;
  double rate_hz = 0;  // 0: as fast as the link takes them
  int retries = 10;    // 100 ms waits a unit may spend without progress
  std::string replay_file;
};

struct DemoOptions {
  LinkOptions link;
  uint64_t units = 3000;
  uint64_t images = 200;
};

struct BenchOptions {
  bool csv = false;
  bool quick = false;                   // fewer units per row, for smoke runs
  std::string sizes;                    // comma-separated unit sizes; empty: the standard set
  std::string impls;                    // comma-separated rows to run; empty: the set for the mode
  std::string transports = "tcp,unix";  // comma-separated
  bool ack = false;                     // acknowledged rows instead of streaming ones
  bool pin = false;                     // acknowledged rows also with both ends on one core and on two
  int runs = 1;                         // runs per row; the median is printed
  int sockbuf = 0;                      // SO_SNDBUF/SO_RCVBUF for every end; 0: the system's
  uint64_t count = 0;                   // units per row; 0: by size
  bool memory = false;                  // the collector's resident memory over count units instead
};

struct DumpOptions {
  std::string file;  // written by listen --out
  bool hex = true;
};

int run_listen(const ListenOptions& options);
int run_send(const SendOptions& options);
int run_demo(const DemoOptions& options);
int run_bench(const BenchOptions& options);
int run_capture_dump(const DumpOptions& options);

}  // namespace dltool

#endif  // DATALINK_TOOL_COMMANDS_H
