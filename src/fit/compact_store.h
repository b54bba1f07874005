// The fast configuration's per-point storage, which grows with what the fit
// finds rather than with N·K: each point's item list as its tail alone (the
// microclusters of nonzero first-pass responsibility, the rest of the list
// follows from them), and one pass's nonzero responsibilities with their list
// positions. Microcluster numbers and positions take one byte each where
// K <= 256, otherwise the bits K - 1 needs. The per-point indexes are
// obtained before the first pass; the entries live in segments obtained as
// the passes fill them.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/heap.h"

namespace zelmor {

// Spans of T in segments of equal length; a span never straddles two
// segments, so an offset finds it directly. clear() keeps the segments for
// the next filling; their pages are touched only as they fill.
template <typename T>
class SegmentArena {
 public:
  SegmentArena(const char* failureMessage, int64_t segmentLength)
      : message_(failureMessage), segmentLength_(segmentLength) {}
  // Room for a span of `count` (at most the segment length): its offset.
  int64_t take(int64_t count) {
    if (used_ % segmentLength_ + count > segmentLength_) used_ += segmentLength_ - used_ % segmentLength_;
    const int64_t offset = used_;
    used_ += count;
    while (static_cast<int64_t>(segments_.size()) * segmentLength_ < used_) {
      segments_.emplace_back(segmentLength_, message_);
    }
    return offset;
  }
  T* at(int64_t offset) { return segments_[offset / segmentLength_].data() + offset % segmentLength_; }
  const T* at(int64_t offset) const { return segments_[offset / segmentLength_].data() + offset % segmentLength_; }
  void clear() { used_ = 0; }
  int64_t bytesUsed() const { return used_ * static_cast<int64_t>(sizeof(T)); }
  void release() { segments_.clear(), used_ = 0; }

 private:
  const char* message_;
  int64_t segmentLength_;
  int64_t used_ = 0;
  std::vector<Buffer<T>> segments_;
};

// Numbers below K (at most 32768) kept as bytes where K <= 256, otherwise in
// as many bits as K - 1 needs (10 at K = 1000), packed into 64-bit words.
// Spans are written one at a time; any number may be read at once.
class NumberArena {
 public:
  NumberArena(int32_t K, const char* failureMessage, int64_t segmentLength);
  int64_t take(int64_t count);
  void put(int64_t offset, const int16_t* numbers, int64_t count);
  void get(int64_t offset, int16_t* numbers, int64_t count) const;
  void clear() { narrow_.clear(), words_.clear(), used_ = 0, segmentsTaken_ = 0; }
  int64_t bytesUsed() const { return bits_ == 8 ? narrow_.bytesUsed() : (used_ * bits_ + 7) / 8; }
  void release() { narrow_.release(), words_.release(), used_ = 0, segmentsTaken_ = 0; }

 private:
  int bits_;
  int64_t segmentLength_;  // numbers
  int64_t segmentWords_;   // a word to spare at the end
  SegmentArena<uint8_t> narrow_;
  SegmentArena<uint64_t> words_;  // each take is one whole segment
  int64_t used_ = 0;
  int64_t segmentsTaken_ = 0;
};

// Bit strings in segments of 64-bit words; a string never straddles two
// segments, so an offset (in bits) finds it directly.
class BitArena {
 public:
  BitArena(const char* failureMessage, int64_t segmentBits);
  int64_t take(int64_t bits);
  uint64_t* segmentOf(int64_t offset) { return words_.at(offset / segmentBits_ * segmentWords_); }
  const uint64_t* segmentOf(int64_t offset) const { return words_.at(offset / segmentBits_ * segmentWords_); }
  int64_t bitInSegment(int64_t offset) const { return offset % segmentBits_; }
  void clear() { words_.clear(), used_ = 0, segmentsTaken_ = 0; }
  int64_t bytesUsed() const { return (used_ + 7) / 8; }

 private:
  int64_t segmentBits_;
  int64_t segmentWords_;  // a word to spare at the end
  SegmentArena<uint64_t> words_;
  int64_t used_ = 0;
  int64_t segmentsTaken_ = 0;
};

// Each point's tail: its nonzero first-pass microclusters by ascending
// responsibility. The list is the other microclusters in descending index
// order, then the tail. A list of any other shape is kept whole, as a tail of
// all K. Where K <= 256 an entry takes a byte; above, entry i takes the bits
// its K - i choices need, as an index into the microclusters still unlisted
// (rebuilt each time the width falls, so reading a whole list costs about 3K
// steps): about 1,123 bytes for a whole list at K = 1000 rather than 1,250
// at 10 bits an entry.
class CompactLists {
 public:
  CompactLists(int64_t N, int32_t K, int64_t segmentLength = int64_t{1} << 22);
  int64_t points() const { return index_.size(); }
  int32_t perPoint() const { return K_; }
  int64_t tailLength(int64_t p) const { return static_cast<int64_t>(index_[p] & 0xffff); }
  void copyTail(int64_t p, int16_t* tail) const;
  // The whole list of point p (K entries); `flags` is K bytes of zeros, left
  // zero.
  void expand(int64_t p, int16_t* items, uint8_t* flags) const;
  // Sets point p's tail; points are set in any order, each once after clear().
  void set(int64_t p, const int16_t* tail, int64_t length);
  // Empties the store; every point's tail is then empty.
  void clear();
  // Bytes of the index and the tails.
  int64_t bytesUsed() const { return index_.size() * 8 + (ranked_ ? ranks_.bytesUsed() : items_.bytesUsed()); }
  // Bits of a ranked tail of `length` entries.
  int64_t rankedBits(int64_t length) const;

 private:
  int32_t K_;
  bool ranked_;
  Buffer<uint64_t> index_;  // offset << 16 | tail length
  NumberArena items_;
  BitArena ranks_;
  // Scratch of set() for ranked tails.
  std::vector<uint16_t> letterScratch_, letterOf_;
  std::vector<uint64_t> listedScratch_;
};

// One pass's responsibilities of every point in list order: its nonzero ones,
// or all K where one is not a finite number (such a row pairs zeros as well).
// A row with so many entries that its positions and microclusters would cost
// more than its zeros is kept whole, its values alone, by list position.
class SparseValues {
 public:
  SparseValues(int64_t N, int32_t K, int64_t segmentLength = int64_t{1} << 22);
  int64_t points() const { return index_.size(); }
  int32_t perPoint() const { return K_; }
  // Entries of point p; K for a row kept whole.
  int64_t count(int64_t p) const { return whole(p) ? K_ : static_cast<int64_t>(index_[p] & 0x7fff); }
  bool whole(int64_t p) const { return (index_[p] & 0x8000) != 0; }
  // Point p's entries: positions and microclusters widened, values in place.
  // A row kept whole gives its K values only.
  const float* read(int64_t p, int16_t* positions, int16_t* clusters) const;
  void set(int64_t p, const int16_t* positions, const int16_t* clusters, const float* values, int64_t count);
  void clear();
  // Bytes of the index and the entries.
  int64_t bytesUsed() const {
    return index_.size() * 8 + positions_.bytesUsed() + clusters_.bytesUsed() + values_.bytesUsed() +
           wholeRows_.bytesUsed();
  }
  // Gives the entries' storage back.
  void release();

 private:
  int32_t K_;
  Buffer<uint64_t> index_;  // offset << 16 | count
  NumberArena positions_;
  NumberArena clusters_;
  SegmentArena<float> values_;
  SegmentArena<float> wholeRows_;
};

// Where microclusters stand in a list kept as its tail: loaded with one tail,
// it answers a query in time of the tail and the query, independent of K, but
// for the first microcluster outside a long tail, which costs a walk over the
// indices above it.
class TailPositions {
 public:
  explicit TailPositions(int32_t K);
  void load(const int16_t* tail, int64_t length);
  // Empties the map again (the cost of the tail, not of K).
  void unload();
  // The positions of `needed` (ascending microclusters), in list order;
  // `clusters` receives the microcluster at each. Returns the count.
  // `positions` and `clusters` hold K entries.
  int64_t inListOrder(const int16_t* needed, int64_t count, int32_t* positions, int16_t* clusters);

 private:
  int64_t position(int16_t g);

  int32_t K_;
  const int16_t* tail_ = nullptr;
  int64_t length_ = 0;
  std::vector<int16_t> rank_;   // K: rank in the tail, -1 outside
  std::vector<int32_t> above_;  // K + 1: tail items with a larger index, once counted
  bool counted_ = false;
  std::vector<uint8_t> needed_;  // K: 1 while a query needs the microcluster
};

}  // namespace zelmor
