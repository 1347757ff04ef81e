// The context coding of the occupancy tree's bits: the same bits as the
// static rANS code, each coded with an adaptive probability chosen by its
// context (tree_contexts.h) and a binary range coder.
//
// The range coder keeps a 32-bit range and a 64-bit low end with carry
// propagation, renormalises a byte at a time when the range drops below
// 2^24, and splits the range at (range >> 12) * p, p the context's
// probability of a 0 bit in 1/4096. After each bit p moves toward the bit
// seen, by 1/2 of the way in a fresh context down to 1/64 after 15 bits. Everything is integer arithmetic, so the bytes are
// the same on every platform. docs/format.md gives the exact steps.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/result.h"
#include "codec/tree_bits.h"
#include "codec/tree_contexts.h"

namespace ovk {

inline constexpr unsigned kContextProbBits = 12;
inline constexpr std::uint16_t kContextProbInit = (1u << (kContextProbBits - 1)) << 4;  // 1/2, none seen
inline constexpr std::size_t kContextCodeMinBytes = 4;

// Upper bound on the tree bits a context code of `length` bytes can carry:
// a coded bit narrows the range by a factor of at most about 4095/4096 (the
// probabilities stay within 1 .. 4095 of 4096), the range gains 8 bits per
// byte, and at most every other bit of a tree is left uncoded as certain.
std::uint64_t max_context_bits(std::uint64_t length) noexcept;

// The probability table and the walk's buffers, reused from frame to frame.
struct ContextCoderScratch {
  std::vector<std::uint16_t> probabilities;
  TreeWalkScratch walk;
};

// Codes bits 0 .. bit_count - 1 of a tree over `layout` (MSB first, as
// encode_tree_bits_into writes them). A string that is not such a tree (too few
// bits, or a split node with no occupied child) is an internal fault.
void context_encode_tree_into(std::span<const std::uint8_t> bits, std::uint64_t bit_count,
                              const ContextLayout& layout, ContextCoderScratch& scratch,
                              std::vector<std::uint8_t>& out);

// Decodes a context code into the packed tree bits. Treats the code as
// hostile: kInvalidData when it is shorter than 4 bytes, when the tree needs
// more than bit_count bits or ends before them, when the code runs out
// before the bits or holds bytes after them. bit_count must already be
// bounded (max_context_bits): its bytes are allocated up front.
Status context_decode_tree_into(std::span<const std::uint8_t> code, std::uint64_t bit_count,
                                const ContextLayout& layout, ContextCoderScratch& scratch,
                                PackedBits& out);

}  // namespace ovk
