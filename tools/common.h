// common.h - what the datalink subcommands share: options of a link end,
// opening it, Ctrl-C handling, the live status line and exit codes.
#ifndef DATALINK_TOOL_COMMON_H
#define DATALINK_TOOL_COMMON_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "DataLink.h"

namespace dltool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct LinkOptions {
  std::string host = "localhost";
  int port = 5010;
  bool unix_domain = false;
  bool bigend = false;  // listener: announce big-endian, so both ends convert
};

// Prints "datalink: <message>" on stderr.
void fail_line(const std::string& message);

// Silences stdout and stderr while it lives. The library reports on both
// itself; around setup calls the tool prints its own one-line verdict instead.
class QuietOutput {
 public:
  QuietOutput();
  ~QuietOutput();
  QuietOutput(const QuietOutput&) = delete;
  QuietOutput& operator=(const QuietOutput&) = delete;

 private:
  int saved_[2];
};

// A TCP port that is free right now, whose UNIX-domain path does not exist.
int free_port();

// Selects the socket family for the library calls that follow.
void select_family(bool unix_domain);

// A listener that is set up on options.port; nullptr (with a message) when
// the port cannot be used.
std::unique_ptr<DataLink> open_listener(const LinkOptions& options);
// A caller connected to options.host:options.port; nullptr with a message.
std::unique_ptr<DataLink> open_caller(const LinkOptions& options);
// Disconnects and releases quietly.
void close_link(DataLink& link);

// Ctrl-C: the first SIGINT or SIGTERM sets a flag that the loops poll; a
// blocking call it interrupts returns with its failure status.
void install_stop_handler();
bool stop_requested();

// A line on a terminal that redraws itself: blocks, bytes and rate.
class StatusLine {
 public:
  StatusLine();
  void update(uint64_t units, uint64_t bytes, bool force = false);
  void clear();

 private:
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

double seconds_since(std::chrono::steady_clock::time_point start);
// "12.3 MB/s" with MB = 10^6 bytes.
std::string rate_text(uint64_t bytes, double seconds);

}  // namespace dltool

#endif  // DATALINK_TOOL_COMMON_H
