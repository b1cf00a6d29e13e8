// recorder.h - the collector's second thread: drains the ring buffer and
// hands every complete block to a handler (a file writer, a checker).
#ifndef DATALINK_TOOL_RECORDER_H
#define DATALINK_TOOL_RECORDER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "RingBuffer.h"

namespace dltool {

class Recorder {
 public:
  using BlockHandler = std::function<void(const char* block, size_t size)>;
  Recorder(RNG_RingBuffer& ring, BlockHandler handler);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Waits until everything written to the ring so far has been handled.
  void finish();
  uint64_t blocks() const { return blocks_; }
  // Bytes at the end that did not form a whole block, or bytes that are no
  // block at all; 0 on a healthy stream.
  uint64_t stray_bytes() const { return stray_bytes_; }

 private:
  void run();
  void take_blocks();

  RNG_RingBuffer& ring_;
  BlockHandler handler_;
  std::vector<char> pending_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> blocks_{0};
  std::atomic<uint64_t> stray_bytes_{0};
  std::thread thread_;
};

}  // namespace dltool

#endif  // DATALINK_TOOL_RECORDER_H
