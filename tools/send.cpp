// send.cpp - "datalink send": a producer of synthetic units, or a replayer of
// a file that "datalink listen --out" recorded.
#include <algorithm>
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
  const uint64_t batch = options.batch > 1 ? static_cast<uint64_t>(options.batch) : 1;
  std::vector<Unit> made;
  std::vector<const Unit*> group;
  for (uint64_t i = 0; i < count && !stop_requested(); i += group.size()) {
    const uint64_t n = std::min(batch, count - i);
    made.clear();
    group.clear();
    for (uint64_t k = 0; k < n && options.replay_file.empty(); ++k)
      made.push_back(make_unit(options.kind, i + k, options.size));
    for (uint64_t k = 0; k < n; ++k) group.push_back(options.replay_file.empty() ? &made[k] : &replay[i + k]);
    if (period.count() > 0) std::this_thread::sleep_until(start + period * static_cast<double>(i));
    // A unit the collector refused for lack of room is offered again, with
    // the units behind it.
    int rc = DL_OK;
    for (size_t next = 0; next < group.size() && !stop_requested();) {
      int went = 1;
      rc = batch == 1
               ? send_unit(*link, *group[next], options.ack)
               : send_units(*link, std::vector<const Unit*>(group.begin() + static_cast<long>(next), group.end()),
                            options.ack, &went);
      if (batch == 1 && rc != DL_OK) went = 0;
      for (int k = 0; k < went; ++k) {
        ++sent;
        bytes += group[next + static_cast<size_t>(k)]->length();
      }
      next += static_cast<size_t>(went);
      status.update(sent, bytes);
      if (rc == DL_OK) continue;
      if (rc != DL_ERR_BUFFER_SIZE) break;
      ++refusals;
      std::this_thread::sleep_for(kRefusalPause);
    }
    if (rc != DL_OK && rc != DL_ERR_BUFFER_SIZE) {
      status.clear();
      if (!stop_requested())
        fail_line("sending unit " + std::to_string(sent + 1) + " failed: " + datalink::status_name(rc));
      exit_code = stop_requested() ? kExitOk : kExitFailure;
      break;
    }
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
