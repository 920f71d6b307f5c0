// The fast form of pair_energy used by every Monte Carlo run.
//
// A SiteArray holds a molecule as contiguous coordinate arrays; a PairKernel
// holds a site-pair table checked once against the two site counts and packed
// densely.  PairKernel::energy gives exactly the bits of pair_energy (same
// terms, each row summed left to right from -0.0, the rows added in order
// from -0.0), with the site-site terms computed several at a time where the
// CPU allows.  Nothing is allocated per call.
//
// The SIMD paths work on several sites of the first molecule at once: lane l
// of a vector holds row i + l of the table, and the entries of those rows are
// taken one column j after the other, so every lane accumulates its own row
// sum in the order of the reference loop.  Only exact IEEE operations are used
// (+, -, *, /, sqrt, compare, select), each term is selected per lane by its
// kind, and the row sums are added to the total one by one in row order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
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
  // of rotate_sites.  Allocation-free when this array already has src's size
  // (the case of every Monte Carlo step, turned here inline).
  void assign_rotated(const Rotation& rot, const SiteArray& src) {
    if (&src != this && src.n_ == n_ && src.x_.size() == x_.size()) [[likely]] {
      turn_from(rot, src);
      return;
    }
    assign_rotated_resized(rot, src);
  }

  // Writable coordinates, for the vector bodies that turn sites themselves
  // (with the arithmetic of assign_rotated; the padding stays zero).
  double* x_data() { return x_.data(); }
  double* y_data() { return y_.data(); }
  double* z_data() { return z_.data(); }

  // Make this array hold the sites of `mol` unchanged.
  void assign(const Molecule& mol);

  // Exchanges the contents of two arrays (no allocation, no copy).
  friend void swap(SiteArray& a, SiteArray& b) noexcept {
    std::swap(a.n_, b.n_);
    a.x_.swap(b.x_);
    a.y_.swap(b.y_);
    a.z_.swap(b.z_);
  }

 private:
  void resize(std::size_t n);
  void assign_rotated_resized(const Rotation& rot, const SiteArray& src);
  // x' = (R00 x + R01 y) + R02 z, ... for every site; sizes already equal.
  void turn_from(const Rotation& rot, const SiteArray& src) {
    const double* m = rot.m;
    const double* sx = src.x_.data();
    const double* sy = src.y_.data();
    const double* sz = src.z_.data();
    double* ox = x_.data();
    double* oy = y_.data();
    double* oz = z_.data();
    for (std::size_t i = 0; i < n_; ++i) {
      const double x = sx[i], y = sy[i], z = sz[i];
      ox[i] = (m[0] * x + m[1] * y) + m[2] * z;
      oy[i] = (m[3] * x + m[4] * y) + m[5] * z;
      oz[i] = (m[6] * x + m[7] * y) + m[8] * z;
    }
  }

  std::size_t n_ = 0;
  std::vector<double> x_, y_, z_;  // padded with zeros to a multiple of 8
};

// The implementations of PairKernel::energy.  The portable path is the
// definition; the others give the same bits.
enum class KernelPath : int { portable = 0, avx2 = 1, avx512 = 2 };

// Whether this CPU can run the path (portable always can).
bool kernel_path_supported(KernelPath path);
// The fastest path this CPU supports, decided once per process.
KernelPath best_kernel_path();
// The path PairKernel::energy uses: best_kernel_path() unless set otherwise.
KernelPath active_kernel_path();
// Choose the path of PairKernel::energy for the whole process (for tests and
// benchmarks); throws vica::ValueError when the CPU cannot run it.
void set_active_kernel_path(KernelPath path);

class PairKernel {
 public:
  PairKernel() = default;
  // Throws the "index out of bounds" failure that pair_energy would raise
  // first for molecules of these sizes; none when either count is 0.
  PairKernel(const SitePairTable& table, std::size_t n_first, std::size_t n_second);

  // pair_energy(table, first, second, offset), bit for bit.  `first` and
  // `second` must have the site counts the kernel was built for.
  double energy(const SiteArray& first, const SiteArray& second, Site offset) const;
  // The same on a chosen path (which the CPU must support).
  double energy_on(KernelPath path, const SiteArray& first, const SiteArray& second,
                   Site offset) const;

  // True when either molecule has no sites or every entry the sum reads is R0:
  // the energy is then a signed zero for every placement.
  bool never_interacts() const { return never_interacts_; }

  std::size_t n_first() const { return n_first_; }
  std::size_t n_second() const { return n_second_; }

  // The packed table as the path implementations read it.  Two layouts:
  //  - by row groups (the usual one): entry (i, j) is at
  //    ((i / 8) * n_second + j) * 8 + i % 8, so eight consecutive rows of one
  //    column lie side by side; rows from n_first up to the next multiple
  //    of 8 are R0 padding.  The vector paths take several rows at once.
  //  - by rows, for a first molecule of one or two sites and a second of
  //    four or more: entry (i, j) is at i * stride + j, stride being
  //    n_second rounded up to 8 (R0 padding).  The vector paths take several
  //    entries of one row at once and add them to the row sum one by one.
  struct View {
    std::size_t n_first;
    std::size_t n_second;
    bool by_rows;
    std::size_t stride;        // by_rows only
    const std::uint8_t* kind;  // PotKind tags
    const double* c1;          // coefficient of r^-1
    const double* c6;          // coefficient of r^-6
    const double* c12;         // coefficient of r^-12
    bool has_r1;               // some entry is R1 or R1R6R12
    bool has_r612;             // some entry is R6R12 or R1R6R12
    bool all_r1r6r12;          // every entry the sum reads is R1R6R12

    std::size_t at(std::size_t i, std::size_t j) const {
      return by_rows ? i * stride + j : ((i / 8) * n_second + j) * 8 + i % 8;
    }
  };
  View view() const {
    return View{n_first_, n_second_, by_rows_, stride_, kind_.data(), c1_.data(), c6_.data(),
                c12_.data(), has_r1_, has_r612_, all_r1r6r12_};
  }

  // The implementation that energy_on(path, ...) calls for a kernel whose
  // molecules both have sites, with some entry interacting and more than one
  // term; a caller that knows this may call it on view() directly.
  using Implementation = double (*)(const View& k, const SiteArray& a, const SiteArray& b, Site o);
  static Implementation implementation(KernelPath path);

  // Small molecules (at most four sites each, in the row-group layout, more
  // than one term, some entry interacting) have vector bodies of their own,
  // with the columns unrolled; energy_on takes them on the vector paths.
  bool small() const { return small_; }
  // implementation(path), or the small-molecule body where it applies.
  Implementation implementation_for(KernelPath path) const;

  // Turns `src` by `rot` into `out` (as out.assign_rotated(rot, src); `out`
  // already has src's size and is another array) and returns
  // energy(first, out, o), bit for bit, in one pass.  Only for small
  // molecules on a vector path: turned_implementation_for gives null
  // otherwise.
  using TurnedImplementation = double (*)(const View& k, const Rotation& rot, const SiteArray& src,
                                          SiteArray& out, const SiteArray& first, Site o);
  TurnedImplementation turned_implementation_for(KernelPath path) const;

 private:
  std::size_t n_first_ = 0;
  std::size_t n_second_ = 0;
  bool never_interacts_ = true;
  bool by_rows_ = false;
  std::size_t stride_ = 0;
  bool has_r1_ = false;
  bool has_r612_ = false;
  bool all_r1r6r12_ = false;
  bool small_ = false;
  std::vector<std::uint8_t> kind_;
  std::vector<double> c1_, c6_, c12_;
};

namespace detail {
// The path implementations (n_first > 0, n_second > 0, some entry not R0).
double pair_kernel_portable(const PairKernel::View& k, const SiteArray& a, const SiteArray& b,
                            Site o);
double pair_kernel_avx2(const PairKernel::View& k, const SiteArray& a, const SiteArray& b, Site o);
double pair_kernel_avx512(const PairKernel::View& k, const SiteArray& a, const SiteArray& b,
                          Site o);
// The small-molecule bodies for a kernel of that shape (AVX2, also run on
// the AVX-512 path); null when the build has no AVX2 bodies.
PairKernel::Implementation small_pair_kernel_avx2(const PairKernel::View& k);
PairKernel::TurnedImplementation small_turned_pair_kernel_avx2(const PairKernel::View& k);
}  // namespace detail

}  // namespace vica
