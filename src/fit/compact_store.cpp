#include "fit/compact_store.h"

#include <algorithm>
#include <bit>

namespace zelmor {

namespace {
constexpr const char* kListsMessage = "Not enough memory for tmp_ItemList!\n";
constexpr const char* kValuesMessage = "Not enough memory for PRlx!!\n";
// Microclusters fit 16 bits.
constexpr int64_t kMostClusters = 32768;

// A ranked tail's entry i is an index into the microclusters not yet
// listed, in bit_width(K - 1 - i) bits. The width falls at i = K - 2^(w-1);
// between such points the entries index one alphabet, the microclusters
// unlisted at the segment's start in ascending order, which then drops the
// segment's entries. Reading a whole list costs about 3K steps.
int segmentWidth(int32_t K, int64_t i) { return std::bit_width(static_cast<uint32_t>(K - 1 - i)); }
int64_t segmentEnd(int32_t K, int width) { return width == 0 ? K : K - (int64_t{1} << (width - 1)); }

void markListed(const int16_t* tail, int64_t from, int64_t to, uint64_t* listed) {
  for (int64_t j = from; j < to; ++j) {
    const auto g = static_cast<uint32_t>(tail[j]);
    listed[g >> 6] |= uint64_t{1} << (g & 63);
  }
}

// The microclusters not in tail[0 .. count), ascending, into `letters`
// (`listed`: K bits of zeros, left zero); returns how many.
int64_t unlistedLetters(int32_t K, const int16_t* tail, int64_t count, uint64_t* listed, uint16_t* letters) {
  markListed(tail, 0, count, listed);
  int64_t size = 0;
  for (int32_t w = 0; w < (K + 63) / 64; ++w) {
    uint64_t free = ~listed[w];
    if (w == (K - 1) / 64 && K % 64 != 0) free &= (uint64_t{1} << (K % 64)) - 1;
    for (; free != 0; free &= free - 1) letters[size++] = static_cast<uint16_t>(w * 64 + std::countr_zero(free));
    listed[w] = 0;
  }
  return size;
}

// Drops tail[from .. to) from the alphabet (`listed` as above); returns its
// new size.
int64_t dropListed(uint16_t* letters, int64_t size, const int16_t* tail, int64_t from, int64_t to, uint64_t* listed) {
  markListed(tail, from, to, listed);
  int64_t kept = 0;
  for (int64_t k = 0; k < size; ++k) {
    const uint32_t g = letters[k];
    letters[kept] = static_cast<uint16_t>(g);
    kept += static_cast<int64_t>(((listed[g >> 6] >> (g & 63)) & 1) ^ 1);
  }
  for (int64_t j = from; j < to; ++j) listed[static_cast<uint32_t>(tail[j]) >> 6] = 0;
  return kept;
}

// Writes and reads `width` bits (at most 16) at a running bit position.
void writeBits(uint64_t* words, int64_t& bit, uint64_t value, int width) {
  if (width == 0) return;
  const uint64_t mask = (uint64_t{1} << width) - 1;
  const int64_t w = bit >> 6;
  const int shift = static_cast<int>(bit & 63);
  words[w] = (words[w] & ~(mask << shift)) | value << shift;
  if (shift + width > 64) words[w + 1] = (words[w + 1] & ~(mask >> (64 - shift))) | value >> (64 - shift);
  bit += width;
}

uint64_t readBits(const uint64_t* words, int64_t& bit, int width) {
  if (width == 0) return 0;
  const int64_t w = bit >> 6;
  const int shift = static_cast<int>(bit & 63);
  uint64_t value = words[w] >> shift;
  if (shift + width > 64) value |= words[w + 1] << (64 - shift);
  bit += width;
  return value & ((uint64_t{1} << width) - 1);
}
}  // namespace

BitArena::BitArena(const char* failureMessage, int64_t segmentBits)
    : segmentBits_(segmentBits), segmentWords_((segmentBits + 63) / 64 + 1), words_(failureMessage, segmentWords_) {}

int64_t BitArena::take(int64_t bits) {
  if (used_ % segmentBits_ + bits > segmentBits_) used_ += segmentBits_ - used_ % segmentBits_;
  const int64_t offset = used_;
  used_ += bits;
  for (; segmentsTaken_ * segmentBits_ < used_; ++segmentsTaken_) words_.take(segmentWords_);
  return offset;
}

NumberArena::NumberArena(int32_t K, const char* failureMessage, int64_t segmentLength)
    : bits_(K <= 256 ? 8 : std::bit_width(static_cast<uint32_t>(K - 1))),
      segmentLength_(segmentLength),
      segmentWords_((segmentLength * bits_ + 63) / 64 + 1),
      narrow_(failureMessage, segmentLength),
      words_(failureMessage, segmentWords_) {}

int64_t NumberArena::take(int64_t count) {
  if (bits_ == 8) return narrow_.take(count);
  if (used_ % segmentLength_ + count > segmentLength_) used_ += segmentLength_ - used_ % segmentLength_;
  const int64_t offset = used_;
  used_ += count;
  for (; segmentsTaken_ * segmentLength_ < used_; ++segmentsTaken_) words_.take(segmentWords_);
  return offset;
}

void NumberArena::put(int64_t offset, const int16_t* numbers, int64_t count) {
  if (count == 0) return;
  if (bits_ == 8) {
    std::copy(numbers, numbers + count, narrow_.at(offset));
    return;
  }
  uint64_t* words = words_.at(offset / segmentLength_ * segmentWords_);
  int64_t bit = offset % segmentLength_ * bits_;
  for (int64_t i = 0; i < count; ++i) writeBits(words, bit, static_cast<uint16_t>(numbers[i]), bits_);
}

void NumberArena::get(int64_t offset, int16_t* numbers, int64_t count) const {
  if (count == 0) return;
  if (bits_ == 8) {
    const uint8_t* from = narrow_.at(offset);
    std::copy(from, from + count, numbers);
    return;
  }
  const uint64_t* words = words_.at(offset / segmentLength_ * segmentWords_);
  int64_t bit = offset % segmentLength_ * bits_;
  for (int64_t i = 0; i < count; ++i) numbers[i] = static_cast<int16_t>(readBits(words, bit, bits_));
}

CompactLists::CompactLists(int64_t N, int32_t K, int64_t segmentLength)
    : K_(K),
      ranked_(K > 256),
      index_(N, kListsMessage),
      items_(ranked_ ? 1 : K, kListsMessage, std::max<int64_t>(segmentLength, K)),
      ranks_(kListsMessage, std::max<int64_t>(segmentLength, K) * 10) {
  if (ranked_) {
    letterScratch_.resize(kMostClusters);
    listedScratch_.assign(kMostClusters / 64, 0);
    letterOf_.resize(static_cast<size_t>(K));
  }
  clear();
}

int64_t CompactLists::rankedBits(int64_t length) const {
  int64_t bits = 0;
  for (int64_t i = 0; i < length; ++i) bits += std::bit_width(static_cast<uint32_t>(K_ - 1 - i));
  return bits;
}

void CompactLists::copyTail(int64_t p, int16_t* tail) const {
  const int64_t length = tailLength(p);
  const int64_t offset = static_cast<int64_t>(index_[p] >> 16);
  if (!ranked_) {
    items_.get(offset, tail, length);
    return;
  }
  const uint64_t* bits = ranks_.segmentOf(offset);
  int64_t bit = ranks_.bitInSegment(offset);
  // The first segment indexes all K: its entries are the microclusters.
  const int fullWidth = segmentWidth(K_, 0);
  int64_t i = 0;
  for (const int64_t end = std::min(length, segmentEnd(K_, fullWidth)); i < end; ++i) {
    tail[i] = static_cast<int16_t>(readBits(bits, bit, fullWidth));
  }
  if (i == length) return;
  uint16_t letters[kMostClusters];
  uint64_t listed[kMostClusters / 64] = {};
  int64_t size = unlistedLetters(K_, tail, i, listed, letters);
  for (int64_t start = i; i < length;) {
    const int width = segmentWidth(K_, i);
    if (i > start) size = dropListed(letters, size, tail, i - (size - (K_ - i)), i, listed);
    for (const int64_t end = std::min(length, segmentEnd(K_, width)); i < end; ++i) {
      tail[i] = static_cast<int16_t>(letters[readBits(bits, bit, width)]);
    }
  }
}

void CompactLists::expand(int64_t p, int16_t* items, uint8_t* flags) const {
  const int64_t t = tailLength(p);
  int16_t* tail = items + (K_ - t);
  copyTail(p, tail);
  // The others in descending index order.
  for (int64_t i = 0; i < t; ++i) flags[tail[i]] = 1;
  int64_t q = 0;
  for (int32_t k = K_ - 1; k >= 0; --k) {
    if (flags[k] == 0) items[q++] = static_cast<int16_t>(k);
  }
  for (int64_t i = 0; i < t; ++i) flags[tail[i]] = 0;
}

void CompactLists::set(int64_t p, const int16_t* tail, int64_t length) {
  int64_t offset = 0;
  if (!ranked_) {
    offset = items_.take(length);
    items_.put(offset, tail, length);
  } else {
    offset = ranks_.take(rankedBits(length));
    uint64_t* bits = ranks_.segmentOf(offset);
    int64_t bit = ranks_.bitInSegment(offset);
    const int fullWidth = segmentWidth(K_, 0);
    int64_t i = 0;
    for (const int64_t end = std::min(length, segmentEnd(K_, fullWidth)); i < end; ++i) {
      writeBits(bits, bit, static_cast<uint16_t>(tail[i]), fullWidth);
    }
    uint16_t* letters = letterScratch_.data();
    int64_t size = i < length ? unlistedLetters(K_, tail, i, listedScratch_.data(), letters) : 0;
    for (int64_t start = i; i < length;) {
      const int width = segmentWidth(K_, i);
      if (i > start) size = dropListed(letters, size, tail, i - (size - (K_ - i)), i, listedScratch_.data());
      for (int64_t k = 0; k < size; ++k) letterOf_[letters[k]] = static_cast<uint16_t>(k);
      for (const int64_t end = std::min(length, segmentEnd(K_, width)); i < end; ++i) {
        writeBits(bits, bit, letterOf_[static_cast<uint32_t>(tail[i])], width);
      }
    }
  }
  index_[p] = static_cast<uint64_t>(offset) << 16 | static_cast<uint64_t>(length);
}

void CompactLists::clear() {
  std::fill(index_.data(), index_.data() + index_.size(), uint64_t{0});
  items_.clear();
  ranks_.clear();
}

SparseValues::SparseValues(int64_t N, int32_t K, int64_t segmentLength)
    : K_(K),
      index_(N, kValuesMessage),
      positions_(K, kValuesMessage, std::max<int64_t>(segmentLength, K)),
      clusters_(K, kValuesMessage, std::max<int64_t>(segmentLength, K)),
      values_(kValuesMessage, std::max<int64_t>(segmentLength, K)),
      wholeRows_(kValuesMessage, std::max<int64_t>(segmentLength, K)) {
  clear();
}

const float* SparseValues::read(int64_t p, int16_t* positions, int16_t* clusters) const {
  const int64_t n = count(p);
  if (n == 0) return nullptr;
  const int64_t offset = static_cast<int64_t>(index_[p] >> 16);
  if (whole(p)) return wholeRows_.at(offset);
  positions_.get(offset, positions, n);
  clusters_.get(offset, clusters, n);
  return values_.at(offset);
}

void SparseValues::set(int64_t p, const int16_t* positions, const int16_t* clusters, const float* values,
                       int64_t count) {
  const int64_t numberBytes = K_ > 256 ? 2 : 1;
  if (count * (2 * numberBytes + 4) > int64_t{4} * K_) {
    const int64_t offset = wholeRows_.take(K_);
    float* row = wholeRows_.at(offset);
    std::fill(row, row + K_, 0.0f);
    for (int64_t i = 0; i < count; ++i) row[positions[i]] = values[i];
    index_[p] = static_cast<uint64_t>(offset) << 16 | 0x8000;
    return;
  }
  // The three arenas take the same spans, so one offset serves all.
  const int64_t offset = positions_.take(count);
  clusters_.take(count);
  values_.take(count);
  positions_.put(offset, positions, count);
  clusters_.put(offset, clusters, count);
  if (count > 0) std::copy(values, values + count, values_.at(offset));
  index_[p] = static_cast<uint64_t>(offset) << 16 | static_cast<uint64_t>(count);
}

void SparseValues::clear() {
  std::fill(index_.data(), index_.data() + index_.size(), uint64_t{0});
  positions_.clear();
  clusters_.clear();
  values_.clear();
  wholeRows_.clear();
}

void SparseValues::release() {
  index_.reset();
  positions_.release();
  clusters_.release();
  values_.release();
  wholeRows_.release();
}

TailPositions::TailPositions(int32_t K)
    : K_(K), rank_(static_cast<size_t>(K), int16_t{-1}), above_(static_cast<size_t>(K) + 1), needed_(K, 0) {}

void TailPositions::load(const int16_t* tail, int64_t length) {
  tail_ = tail;
  length_ = length;
  counted_ = false;
  // A tail that is the whole list leaves nothing outside it to rank.
  for (int64_t i = 0; length < K_ && i < length; ++i) rank_[tail[i]] = static_cast<int16_t>(i);
}

void TailPositions::unload() {
  for (int64_t i = 0; length_ < K_ && i < length_; ++i) rank_[tail_[i]] = -1;
  length_ = 0;
}

int64_t TailPositions::position(int16_t g) {
  if (rank_[g] >= 0) return K_ - length_ + rank_[g];
  if (!counted_) {
    // Outside the tail the positions rise as the indices fall, skipping the
    // tail's: count the tail items above each index once.
    int32_t running = 0;
    for (int32_t k = K_ - 1; k >= 0; --k) {
      above_[k] = running;
      running += rank_[k] >= 0;
    }
    counted_ = true;
  }
  return K_ - 1 - g - above_[g];
}

int64_t TailPositions::inListOrder(const int16_t* needed, int64_t count, int32_t* positions, int16_t* clusters) {
  int64_t found = 0;
  for (int64_t i = count - 1; length_ < K_ && i >= 0; --i) {
    const int16_t g = needed[i];
    if (rank_[g] >= 0) continue;
    positions[found] = static_cast<int32_t>(position(g));
    clusters[found++] = g;
  }
  // The tail in its order: every item is written at the next place, which
  // it keeps only where it is needed (no branch to mispredict).
  uint8_t* marks = needed_.data();  // a local: byte stores would make the member reload
  const int16_t* tail = tail_;
  const int64_t length = length_;
  for (int64_t i = 0; i < count; ++i) marks[needed[i]] = 1;
  const int64_t start = K_ - length;
  for (int64_t r = 0; r < length; ++r) {
    const int16_t g = tail[r];
    positions[found] = static_cast<int32_t>(start + r);
    clusters[found] = g;
    found += marks[g];
  }
  for (int64_t i = 0; i < count; ++i) marks[needed[i]] = 0;
  return found;
}

}  // namespace zelmor
