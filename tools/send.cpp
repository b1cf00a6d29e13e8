// send.cpp - "datalink send": a producer of synthetic units, or a replayer of
// a file that "datalink listen --out" recorded.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "commands.h"
#include "status_name.h"

namespace dltool {

namespace {

// Pause before a unit the collector refused for lack of room is offered again.
constexpr auto kRefusalPause = std::chrono::microseconds(200);

// Splits a recorded file into units; false with a message when it is missing,
// holds bytes that are no block, or ends inside a block.
bool load_replay(const std::string& path, std::vector<Unit>* units) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    fail_line("cannot read replay file " + path);
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  size_t offset = 0;
  while (offset < bytes.size()) {
    BlockInfo info;
    size_t left = bytes.size() - offset;
    std::string where = "block " + std::to_string(units->size() + 1) + " at offset " + std::to_string(offset);
    if (!block_info(bytes.data() + offset, left, &info)) {
      fail_line("replay file " + path + ": " + where +
                (left < kLongestHeaderBytes ? " is truncated" : " does not start with a known pattern"));
      return false;
    }
    if (info.length < info.header_bytes || info.length > left) {
      fail_line("replay file " + path + " is truncated: " + where + " needs " + std::to_string(info.length) +
                " bytes, " + std::to_string(left) + " are left");
      return false;
    }
    Unit unit;
    unit_from_block(bytes.data() + offset, info.length, &unit);
    units->push_back(std::move(unit));
    offset += info.length;
  }
  return true;
}

}  // namespace

int run_send(const SendOptions& options) {
  std::vector<Unit> replay;
  if (!options.replay_file.empty() && !load_replay(options.replay_file, &replay)) return kExitFailure;
  auto link = open_caller(options.link);
  if (!link) return kExitFailure;
  link->SetRetry(options.retries);
  install_stop_handler();

  const uint64_t count = options.replay_file.empty() ? options.count : replay.size();
  const auto period =
      options.rate_hz > 0 ? std::chrono::duration<double>(1.0 / options.rate_hz) : std::chrono::duration<double>(0);
  StatusLine status;
  uint64_t sent = 0, bytes = 0, refusals = 0;
  int exit_code = kExitOk;
  auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < count && !stop_requested(); ++i) {
    Unit synthetic;
    if (options.replay_file.empty()) synthetic = make_unit(options.kind, i, options.size);
    const Unit& unit = options.replay_file.empty() ? synthetic : replay[i];
    if (period.count() > 0) std::this_thread::sleep_until(start + period * static_cast<double>(i));
    int rc;
    while ((rc = send_unit(*link, unit, options.ack)) == DL_ERR_BUFFER_SIZE && !stop_requested()) {
      ++refusals;
      std::this_thread::sleep_for(kRefusalPause);
    }
    if (rc != DL_OK) {
      status.clear();
      if (!stop_requested())
        fail_line("sending unit " + std::to_string(i + 1) + " failed: " + datalink::status_name(rc));
      exit_code = stop_requested() ? kExitOk : kExitFailure;
      break;
    }
    ++sent;
    bytes += unit.length();
    status.update(sent, bytes);
  }
  double seconds = seconds_since(start);
  status.clear();
  close_link(*link);
  std::printf("sent %llu units, %llu bytes in %.2f s (%s), %llu acknowledgement refusals\n",
              static_cast<unsigned long long>(sent), static_cast<unsigned long long>(bytes), seconds,
              rate_text(bytes, seconds).c_str(), static_cast<unsigned long long>(refusals));
  return exit_code;
}

}  // namespace dltool
