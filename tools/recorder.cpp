// recorder.cpp - draining the ring buffer block by block.
#include "recorder.h"

#include <chrono>

#include "units.h"

namespace dltool {

namespace {
constexpr unsigned int kDrainChunkBytes = 1u << 20;
constexpr auto kIdlePause = std::chrono::microseconds(50);
}  // namespace

Recorder::Recorder(RNG_RingBuffer& ring, BlockHandler handler)
    : ring_(ring), handler_(std::move(handler)), thread_([this] { run(); }) {}

Recorder::~Recorder() { finish(); }

void Recorder::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void Recorder::run() {
  std::vector<char> chunk(kDrainChunkBytes);
  for (;;) {
    // Read the stop flag before draining, so that bytes written before
    // finish() was called are always taken.
    bool stopping = stop_;
    int got = ring_.Read(chunk.data(), kDrainChunkBytes);
    if (got > 0) {
      pending_.insert(pending_.end(), chunk.data(), chunk.data() + got);
      take_blocks();
      continue;
    }
    if (stopping) break;
    std::this_thread::sleep_for(kIdlePause);
  }
  stray_bytes_ += pending_.size();
  pending_.clear();
}

void Recorder::take_blocks() {
  size_t offset = 0;
  BlockInfo info;
  while (block_info(pending_.data() + offset, pending_.size() - offset, &info)) {
    if (info.length < info.header_bytes) {
      // Not a block: nothing sensible can follow in this stream.
      stray_bytes_ += pending_.size() - offset;
      offset = pending_.size();
      break;
    }
    if (pending_.size() - offset < info.length) break;
    handler_(pending_.data() + offset, info.length);
    ++blocks_;
    offset += info.length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(offset));
}

}  // namespace dltool
