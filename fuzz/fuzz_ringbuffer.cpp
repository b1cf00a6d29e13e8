// fuzz_ringbuffer.cpp - arbitrary sequences of writes, reads and queries on
// one byte ring, checked step by step against a std::deque that holds what
// the ring should hold. Bytes 0-1 give the capacity; each operation is one
// opcode byte and a 16-bit length.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "RingBuffer.h"

namespace {

constexpr unsigned long kMaxCapacity = 4096;
constexpr unsigned kMaxLength = 6000;  // lengths may exceed the capacity on purpose

void check(bool ok) {
  if (!ok) __builtin_trap();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool more() const { return at_ < size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  unsigned u16() {
    unsigned low = byte();
    return low | (static_cast<unsigned>(byte()) << 8);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const unsigned long capacity = in.u16() % (kMaxCapacity + 1);
  RNG_RingBuffer ring(capacity);
  std::deque<char> model;
  uint8_t next = 0;  // written bytes count up, so a misplaced byte shows
  check(ring.size() == capacity && ring.bytesUsed() == 0);

  while (in.more()) {
    const uint8_t op = in.byte();
    const unsigned length = in.u16() % (kMaxLength + 1);
    switch (op % 5) {
      case 0:
      case 1: {  // write a block of exactly `length` bytes
        std::unique_ptr<char[]> block(new char[length == 0 ? 1 : length]);
        for (unsigned i = 0; i < length; ++i) block[i] = static_cast<char>(next + i);
        const int written = ring.Write(block.get(), length);
        const bool fits = length > 0 && length <= capacity - model.size();
        check(written == (fits ? static_cast<int>(length) : 0));
        if (fits) {
          for (unsigned i = 0; i < length; ++i) model.push_back(block[i]);
          next = static_cast<uint8_t>(next + length);
        }
        break;
      }
      case 2: {  // read up to `length` bytes into a buffer of exactly that size
        std::unique_ptr<char[]> dst(new char[length == 0 ? 1 : length]);
        const int got = ring.Read(dst.get(), length);
        const size_t expected = length < model.size() ? length : model.size();
        check(got == static_cast<int>(expected));
        for (size_t i = 0; i < expected; ++i) {
          check(dst[i] == model.front());
          model.pop_front();
        }
        break;
      }
      case 3: {  // refusals: null pointers, and a length no buffer could hold
        char byte = 0;
        check(ring.Write(nullptr, length) == 0);
        check(ring.Read(nullptr, length) == 0);
        if (capacity < UINT32_MAX) check(ring.Write(&byte, UINT32_MAX) == 0);
        break;
      }
      default:
        break;
    }
    check(ring.size() == capacity);
    check(ring.bytesUsed() == model.size());
  }
  // Whatever is left comes out in order.
  std::vector<char> rest(model.size() + 1);
  check(ring.Read(rest.data(), static_cast<unsigned>(rest.size())) == static_cast<int>(model.size()));
  for (size_t i = 0; i < model.size(); ++i) check(rest[i] == model[i]);
  check(ring.bytesUsed() == 0);
  return 0;
}
