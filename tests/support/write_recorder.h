// Every write and barrier the engine sends to a card attached directly, in
// the order sent, for the tests that rebuild the states a crash can leave.
#pragma once

#include <cstdint>
#include <vector>

#include "card_source.h"
#include "support/files.h"
#include "usbfunc.h"

namespace zk27_test {

struct CardWrite {
  bool barrier = false;
  std::uint32_t lba = 0;
  Bytes data;  // count x 512 bytes; empty for a barrier
};

// Wraps the road to the card attached at its construction; the writes still
// reach the card. One at a time.
class WriteRecorder {
 public:
  WriteRecorder() : inner_(&card_source::Replace(kOperations)) { self_ = this; }
  ~WriteRecorder() {
    if (&card_source::Current() == &kOperations) card_source::Replace(*inner_);
    self_ = nullptr;
  }
  WriteRecorder(const WriteRecorder&) = delete;
  WriteRecorder& operator=(const WriteRecorder&) = delete;

  std::vector<CardWrite> log;
  // The barrier (counted from 1) that fails as a card that lost the writes
  // would; 0: none.
  int failBarrier = 0;

 private:
  static std::uint16_t Read(std::uint32_t lba, std::uint16_t count) { return self_->inner_->read(lba, count); }
  static std::uint16_t Write(std::uint32_t lba, std::uint16_t count) {
    self_->log.push_back({false, lba, Bytes(SectorBuffer, SectorBuffer + std::size_t{count} * kSectorSize)});
    return self_->inner_->write(lba, count);
  }
  static std::uint16_t Identify() { return self_->inner_->identify(); }
  static std::uint16_t Status() { return self_->inner_->status(); }
  static std::uint16_t Barrier() {
    self_->log.push_back({true, 0, {}});
    if (++self_->barriers_ == self_->failBarrier) return kRawTransportFailure;
    return self_->inner_->barrier();
  }
  static inline const card_source::Operations kOperations = {Read, Write, Identify, Status, Barrier};
  static inline WriteRecorder* self_ = nullptr;
  const card_source::Operations* inner_;
  int barriers_ = 0;
};

}  // namespace zk27_test
