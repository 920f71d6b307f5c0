// The fast form of pair_energy used by every Monte Carlo run.
//
// A SiteArray holds a molecule as contiguous coordinate arrays; a PairKernel
// holds a site-pair table checked once against the two site counts and packed
// densely.  PairKernel::energy gives exactly the bits of pair_energy (same
// terms, each row summed left to right from -0.0, the rows added in order
// from -0.0), with the site-site terms computed several at a time where the
// CPU allows.  Nothing is allocated per call.
#pragma once

#include <cstddef>
#include <vector>

#include "uij/molecule.h"
#include "uij/pair_energy.h"

namespace vica {

class SiteArray {
 public:
  SiteArray() = default;
  explicit SiteArray(const Molecule& mol);

  std::size_t size() const { return n_; }
  const double* x() const { return x_.data(); }
  const double* y() const { return y_.data(); }
  const double* z() const { return z_.data(); }

  // Make this array the sites of `src` turned by `rot`, with the arithmetic
  // of rotate_sites.  Allocation-free when this array already has src's size.
  void assign_rotated(const Rotation& rot, const SiteArray& src);

 private:
  std::size_t n_ = 0;
  std::vector<double> x_, y_, z_;  // padded with zeros to a multiple of 8
};

class PairKernel {
 public:
  PairKernel() = default;
  // Throws the "index out of bounds" failure that pair_energy would raise
  // first for molecules of these sizes; none when either count is 0.
  PairKernel(const SitePairTable& table, std::size_t n_first, std::size_t n_second);

  // pair_energy(table, first, second, offset), bit for bit.
  double energy(const SiteArray& first, const SiteArray& second, Site offset) const;

  // True when either molecule has no sites or every entry the sum reads is R0:
  // the energy is then a signed zero for every placement.
  bool never_interacts() const { return never_interacts_; }

 private:
  std::size_t n_first_ = 0;
  std::size_t n_second_ = 0;
  std::size_t stride_ = 0;  // n_second_ rounded up to a multiple of 8
  bool never_interacts_ = true;
  // Per entry (i, j) at i * stride_ + j: kind and coefficients of r^-1, r^-6, r^-12.
  std::vector<unsigned char> kind_;
  std::vector<double> c1_, c6_, c12_;
};

}  // namespace vica
