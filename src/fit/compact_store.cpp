#include "fit/compact_store.h"

#include <algorithm>
#include <bit>

namespace zelmor {

namespace {
constexpr const char* kListsMessage = "Not enough memory for tmp_ItemList!\n";
constexpr const char* kValuesMessage = "Not enough memory for PRlx!!\n";
}  // namespace

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
  const uint64_t mask = (uint64_t{1} << bits_) - 1;
  for (int64_t i = 0; i < count; ++i, bit += bits_) {
    const uint64_t n = static_cast<uint16_t>(numbers[i]);
    const int64_t w = bit >> 6;
    const int shift = static_cast<int>(bit & 63);
    words[w] = (words[w] & ~(mask << shift)) | n << shift;
    if (shift + bits_ > 64) words[w + 1] = (words[w + 1] & ~(mask >> (64 - shift))) | n >> (64 - shift);
  }
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
  const uint64_t mask = (uint64_t{1} << bits_) - 1;
  for (int64_t i = 0; i < count; ++i, bit += bits_) {
    const int64_t w = bit >> 6;
    const int shift = static_cast<int>(bit & 63);
    uint64_t n = words[w] >> shift;
    if (shift + bits_ > 64) n |= words[w + 1] << (64 - shift);
    numbers[i] = static_cast<int16_t>(n & mask);
  }
}

CompactLists::CompactLists(int64_t N, int32_t K, int64_t segmentLength)
    : K_(K), index_(N, kListsMessage), items_(K, kListsMessage, std::max<int64_t>(segmentLength, K)) {
  clear();
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
  const int64_t offset = items_.take(length);
  items_.put(offset, tail, length);
  index_[p] = static_cast<uint64_t>(offset) << 16 | static_cast<uint64_t>(length);
}

void CompactLists::clear() {
  std::fill(index_.data(), index_.data() + index_.size(), uint64_t{0});
  items_.clear();
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
    : K_(K), rank_(static_cast<size_t>(K), int16_t{-1}), above_(static_cast<size_t>(K) + 1), inOrder_(K / 64 + 1) {}

void TailPositions::load(const int16_t* tail, int64_t length) {
  tail_ = tail;
  length_ = length;
  counted_ = false;
  for (int64_t i = 0; i < length; ++i) rank_[tail[i]] = static_cast<int16_t>(i);
}

void TailPositions::unload() {
  for (int64_t i = 0; i < length_; ++i) rank_[tail_[i]] = -1;
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
  for (int64_t i = count - 1; i >= 0; --i) {
    const int16_t g = needed[i];
    const int16_t r = rank_[g];
    if (r >= 0) {
      inOrder_[r >> 6] |= uint64_t{1} << (r & 63);
      continue;
    }
    positions[found] = static_cast<int32_t>(position(g));
    clusters[found++] = g;
  }
  const int64_t words = (length_ + 63) / 64;
  for (int64_t w = 0; w < words; ++w) {
    for (uint64_t bits = inOrder_[w]; bits != 0; bits &= bits - 1) {
      const int64_t r = w * 64 + std::countr_zero(bits);
      positions[found] = static_cast<int32_t>(K_ - length_ + r);
      clusters[found++] = tail_[r];
    }
    inOrder_[w] = 0;
  }
  return found;
}

}  // namespace zelmor
