// link_limits.h - the named limits of the link's loops. Fuzzing builds lower the
// empty-read and scan limits so that one garbled input does not take seconds;
// every other build keeps the protocol's values.
#ifndef DATALINK_LIMITS_H
#define DATALINK_LIMITS_H

namespace datalink {

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr int kEmptyReadLimitHeader = 8;      // consecutive empty reads of a header or intro
constexpr int kEmptyReadLimitEventBody = 16;  // consecutive empty reads of an event body
constexpr long kScanLimitBytes = 4096;        // stray bytes the event pattern scan skips
constexpr int kFirstWaitAttemptsUnbounded = 4;
#else
constexpr int kEmptyReadLimitHeader = 1000;
constexpr int kEmptyReadLimitEventBody = 10000;
constexpr long kScanLimitBytes = 200000;
constexpr int kFirstWaitAttemptsUnbounded = 1000;  // first-wait attempts of ReceiveEvent with trs < 0
#endif
constexpr int kEmptyReadLimitBody = kEmptyReadLimitHeader;  // slow-data, image and spectrum bodies
constexpr int kAckEmptyReadLimit = 1000;                    // empty reads of the sender's acknowledgement wait
constexpr int kSelectTimeoutUs = 100000;                    // one wait of the sender and of SendRequest
constexpr int kSendRequestFirstBudget = 10;                 // time-outs before SendRequest's first progress
constexpr int kMaxIovPerWritev = 1024;                      // elements handed to one writev
constexpr int kAckBytes = 4;                                // the acknowledgement: one host-order int32
constexpr int kPatternBytes = 4;                            // the pattern word that opens every unit
constexpr unsigned long kMaxReadBytes = 1UL << 30;          // most bytes asked of one read of a block body

// Longest block a receiver accepts: every producer counts unit lengths in 32 bits.
constexpr unsigned long long kMaxBlockBytes = 0xFFFFFFFFull;

}  // namespace datalink

#endif  // DATALINK_LIMITS_H
