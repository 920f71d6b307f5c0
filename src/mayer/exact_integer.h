// Exact factorials and multinomial coefficients for the derivative terms of
// the virial runs.
//
// Every coefficient is first formed as an exact unsigned integer of
// unbounded size and then converted to the nearest double (ties to even, +inf
// beyond the double range), so k! and I! / (i! j! k!) are exact as far as a
// double can hold them, also past 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vica {

// An arbitrary-precision unsigned integer: 32-bit limbs, least significant
// first, no leading zero limbs (zero has no limbs).
class BigUint {
 public:
  BigUint() = default;
  explicit BigUint(std::uint64_t v);

  std::size_t bit_length() const;
  bool is_zero() const { return limbs_.empty(); }

  void mul_small(std::uint32_t m);
  friend BigUint operator+(const BigUint& a, const BigUint& b);
  friend BigUint operator*(const BigUint& a, const BigUint& b);
  friend bool operator==(const BigUint& a, const BigUint& b) { return a.limbs_ == b.limbs_; }

  // The nearest double, ties to even; +inf when the value is 2^1024 or more
  // after rounding.
  double to_double() const;

  const std::vector<std::uint32_t>& limbs() const { return limbs_; }

 private:
  void trim();
  std::vector<std::uint32_t> limbs_;
};

// k! as the nearest double for k = 0 .. count - 1 (0! = 1! = 1).
std::vector<double> exact_factorials(std::size_t count);

// One term of a multinomial list: coefficient I! / (i! j! k!) as the nearest
// double, with k = I - i - j.
struct MultinomialTerm {
  double c;
  std::uint32_t i;
  std::uint32_t j;
};

// The lists L[0] .. L[order_max], stored one after the other: for i = 0..M,
// j = 0..M-i, k = 0..M-i-j the term (i, j, k) goes to L[i + j + k], so within
// a list the terms come in ascending i and, for equal i, ascending j.
// L[I] has (I + 1)(I + 2) / 2 terms; `start[I]` is the offset of L[I] in
// `terms`, start[M + 1] the total.  Sizes that cannot be held throw
// std::length_error or std::bad_alloc before anything is computed.
struct MultinomialLists {
  std::vector<MultinomialTerm> terms;
  std::vector<std::size_t> start;
};
MultinomialLists multinomial_lists(std::uint64_t order_max);

}  // namespace vica
