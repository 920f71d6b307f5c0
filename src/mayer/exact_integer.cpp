#include "mayer/exact_integer.h"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

namespace vica {

BigUint::BigUint(std::uint64_t v) {
  while (v != 0) {
    limbs_.push_back(static_cast<std::uint32_t>(v));
    v >>= 32;
  }
}

void BigUint::trim() {
  while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
}

std::size_t BigUint::bit_length() const {
  if (limbs_.empty()) return 0;
  return 32 * (limbs_.size() - 1) + (32 - static_cast<std::size_t>(__builtin_clz(limbs_.back())));
}

void BigUint::mul_small(std::uint32_t m) {
  std::uint64_t carry = 0;
  for (std::uint32_t& limb : limbs_) {
    const std::uint64_t prod = static_cast<std::uint64_t>(limb) * m + carry;
    limb = static_cast<std::uint32_t>(prod);
    carry = prod >> 32;
  }
  if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
  trim();
}

BigUint operator+(const BigUint& a, const BigUint& b) {
  const BigUint& big = a.limbs_.size() >= b.limbs_.size() ? a : b;
  const BigUint& small = a.limbs_.size() >= b.limbs_.size() ? b : a;
  BigUint out;
  out.limbs_.resize(big.limbs_.size() + 1);
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < big.limbs_.size(); ++i) {
    std::uint64_t s = static_cast<std::uint64_t>(big.limbs_[i]) + carry;
    if (i < small.limbs_.size()) s += small.limbs_[i];
    out.limbs_[i] = static_cast<std::uint32_t>(s);
    carry = s >> 32;
  }
  out.limbs_.back() = static_cast<std::uint32_t>(carry);
  out.trim();
  return out;
}

BigUint operator*(const BigUint& a, const BigUint& b) {
  BigUint out;
  if (a.is_zero() || b.is_zero()) return out;
  out.limbs_.assign(a.limbs_.size() + b.limbs_.size(), 0);
  for (std::size_t i = 0; i < a.limbs_.size(); ++i) {
    std::uint64_t carry = 0;
    const std::uint64_t ai = a.limbs_[i];
    for (std::size_t j = 0; j < b.limbs_.size(); ++j) {
      const std::uint64_t cur = ai * b.limbs_[j] + out.limbs_[i + j] + carry;
      out.limbs_[i + j] = static_cast<std::uint32_t>(cur);
      carry = cur >> 32;
    }
    std::size_t k = i + b.limbs_.size();
    while (carry != 0) {
      const std::uint64_t cur = static_cast<std::uint64_t>(out.limbs_[k]) + carry;
      out.limbs_[k] = static_cast<std::uint32_t>(cur);
      carry = cur >> 32;
      ++k;
    }
  }
  out.trim();
  return out;
}

double BigUint::to_double() const {
  const std::size_t len = bit_length();
  if (len == 0) return 0.0;
  if (len > 1100) return std::numeric_limits<double>::infinity();
  // The 64 most significant bits, left-justified, and whether any bit below
  // them is set.
  std::uint64_t top = 0;
  bool sticky = false;
  for (std::size_t bit = 0; bit < 64; ++bit) {
    if (bit >= len) break;
    const std::size_t pos = len - 1 - bit;
    if ((limbs_[pos / 32] >> (pos % 32)) & 1u) top |= std::uint64_t{1} << (63 - bit);
  }
  if (len > 64) {
    const std::size_t below = len - 64;  // bits 0 .. below-1 are not in `top`
    for (std::size_t l = 0; l < (below + 31) / 32 && !sticky; ++l) {
      std::uint32_t limb = limbs_[l];
      if ((l + 1) * 32 > below) limb &= (below % 32 == 0) ? ~0u : ((1u << (below % 32)) - 1u);
      sticky = limb != 0;
    }
  }
  std::uint64_t mant = top >> 11;                 // 53 bits, leading bit set
  const bool round_bit = ((top >> 10) & 1u) != 0;
  sticky = sticky || (top & 0x3FFu) != 0;
  int exp = static_cast<int>(len) - 53;
  if (round_bit && (sticky || (mant & 1u) != 0)) {
    ++mant;
    if (mant == (std::uint64_t{1} << 53)) {
      mant >>= 1;
      ++exp;
    }
  }
  return std::ldexp(static_cast<double>(mant), exp);
}

std::vector<double> exact_factorials(std::size_t count) {
  std::vector<double> out(count);
  BigUint f(1);
  bool infinite = false;
  for (std::size_t k = 0; k < count; ++k) {
    if (k >= 2 && !infinite) {
      if (k > 0xFFFFFFFFu) {
        infinite = true;
      } else {
        f.mul_small(static_cast<std::uint32_t>(k));
      }
    }
    if (!infinite) {
      out[k] = f.to_double();
      infinite = std::isinf(out[k]);
    } else {
      out[k] = std::numeric_limits<double>::infinity();
    }
  }
  return out;
}

namespace {

// Binomial coefficients past this many bits are replaced by one fixed large
// value: anything they take part in rounds to +inf anyway.
constexpr std::size_t kSaturationBits = 1100;

const BigUint& saturated() {
  static const BigUint value = [] {
    BigUint v(1);
    for (std::size_t i = 0; i < kSaturationBits + 1; ++i) v.mul_small(2);
    return v;
  }();
  return value;
}

}  // namespace

MultinomialLists multinomial_lists(std::uint64_t order_max) {
  // Total number of terms: (M + 1)(M + 2)(M + 3) / 6, refused when it cannot
  // be counted or stored.
  if (order_max >= (std::uint64_t{1} << 40)) throw std::length_error("multinomial lists too long");
  const unsigned __int128 m = order_max;
  const unsigned __int128 total128 = (m + 1) * (m + 2) * (m + 3) / 6;
  const std::size_t max_terms = std::numeric_limits<std::size_t>::max() / sizeof(MultinomialTerm);
  if (total128 > max_terms) throw std::length_error("multinomial lists too long");
  const auto total = static_cast<std::size_t>(total128);
  const auto rows = static_cast<std::size_t>(order_max) + 1;

  MultinomialLists out;
  out.terms.reserve(total);
  out.start.reserve(rows + 1);

  // Pascal's triangle, exact (saturated past the double range).
  std::vector<std::vector<BigUint>> binom(rows);
  for (std::size_t n = 0; n < rows; ++n) {
    binom[n].resize(n + 1);
    binom[n][0] = BigUint(1);
    binom[n][n] = BigUint(1);
    for (std::size_t r = 1; r < n; ++r) {
      BigUint s = binom[n - 1][r - 1] + binom[n - 1][r];
      binom[n][r] = s.bit_length() > kSaturationBits ? saturated() : std::move(s);
    }
  }

  for (std::size_t big_i = 0; big_i < rows; ++big_i) {
    out.start.push_back(out.terms.size());
    for (std::size_t i = 0; i <= big_i; ++i) {
      const BigUint& a = binom[big_i][i];  // I! / (i! (I - i)!)
      for (std::size_t j = 0; j <= big_i - i; ++j) {
        const BigUint& b = binom[big_i - i][j];  // (I - i)! / (j! k!)
        double c;
        if (a.bit_length() + b.bit_length() >= 1026) {
          c = std::numeric_limits<double>::infinity();
        } else {
          c = (a * b).to_double();
        }
        out.terms.push_back(MultinomialTerm{c, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
      }
    }
  }
  out.start.push_back(out.terms.size());
  return out;
}

}  // namespace vica
