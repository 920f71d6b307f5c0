#include "uij/pair_kernel.h"

#include <atomic>
#include <cmath>

#include "runtime/failure.h"

namespace vica {
namespace {

constexpr std::size_t kLanes = 8;

std::size_t padded(std::size_t n) { return (n + kLanes - 1) / kLanes * kLanes; }

KernelPath detect_path() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx2")) {
    return KernelPath::avx512;
  }
  if (__builtin_cpu_supports("avx2")) return KernelPath::avx2;
#endif
  return KernelPath::portable;
}

std::atomic<int>& active_path_slot() {
  static std::atomic<int> slot{static_cast<int>(best_kernel_path())};
  return slot;
}

// One site-site term of the packed table at distance r (already clamped),
// with the arithmetic of site_energy.
inline double packed_term(const PairKernel::View& k, std::size_t at, double r) {
  switch (static_cast<PotKind>(k.kind[at])) {
    case PotKind::R1:
      return k.c1[at] / r;
    case PotKind::R6R12:
    case PotKind::R1R6R12: {
      const auto [i6, i12] = inverse_powers(r);
      if (static_cast<PotKind>(k.kind[at]) == PotKind::R6R12) return k.c6[at] * i6 + k.c12[at] * i12;
      return (k.c1[at] / r + k.c6[at] * i6) + k.c12[at] * i12;
    }
    case PotKind::R0:
      break;
  }
  return 0.0;
}

inline double clamped_distance(double ax, double ay, double az, double bx, double by, double bz) {
  const double dx = ax - bx;
  const double dy = ay - by;
  const double dz = az - bz;
  double r = std::sqrt((dx * dx + dy * dy) + dz * dz);
  if (!(r > MIN_SITE_DISTANCE)) r = MIN_SITE_DISTANCE;
  return r;
}

}  // namespace

// ---------------------------------------------------------------- SiteArray

SiteArray::SiteArray(const Molecule& mol) { assign(mol); }

void SiteArray::resize(std::size_t n) {
  if (n == n_ && x_.size() == padded(n)) return;
  n_ = n;
  x_.assign(padded(n), 0.0);
  y_.assign(padded(n), 0.0);
  z_.assign(padded(n), 0.0);
}

void SiteArray::assign(const Molecule& mol) {
  resize(mol.size());
  for (std::size_t i = 0; i < n_; ++i) {
    x_[i] = mol[i].x;
    y_[i] = mol[i].y;
    z_[i] = mol[i].z;
  }
}

void SiteArray::assign_rotated_resized(const Rotation& rot, const SiteArray& src) {
  if (&src == this) {
    SiteArray copy = src;
    assign_rotated(rot, copy);
    return;
  }
  resize(src.n_);
  turn_from(rot, src);
}

// ---------------------------------------------------------------- paths

bool kernel_path_supported(KernelPath path) {
  switch (path) {
    case KernelPath::portable:
      return true;
    case KernelPath::avx2:
      return best_kernel_path() != KernelPath::portable;
    case KernelPath::avx512:
      return best_kernel_path() == KernelPath::avx512;
  }
  return false;
}

KernelPath best_kernel_path() {
  static const KernelPath best = detect_path();
  return best;
}

KernelPath active_kernel_path() {
  return static_cast<KernelPath>(active_path_slot().load(std::memory_order_relaxed));
}

void set_active_kernel_path(KernelPath path) {
  if (!kernel_path_supported(path)) throw ValueError("this CPU cannot run the requested kernel path");
  active_path_slot().store(static_cast<int>(path), std::memory_order_relaxed);
}

// ---------------------------------------------------------------- PairKernel

PairKernel::PairKernel(const SitePairTable& table, std::size_t n_first, std::size_t n_second)
    : n_first_(n_first), n_second_(n_second) {
  if (n_first == 0 || n_second == 0) return;
  // The shortfall pair_energy meets first: rows in order, each row's
  // entries before the next row.
  for (std::size_t i = 0; i < n_first; ++i) {
    if (i >= table.size()) fail_index_out_of_bounds(table.size(), i);
    if (table[i].size() < n_second) fail_index_out_of_bounds(table[i].size(), table[i].size());
  }
  by_rows_ = n_first <= 2 && n_second >= 4;
  stride_ = by_rows_ ? padded(n_second) : 0;
  const std::size_t cells = by_rows_ ? n_first * stride_ : padded(n_first) * n_second;
  kind_.assign(cells, static_cast<std::uint8_t>(PotKind::R0));
  c1_.assign(cells, 0.0);
  c6_.assign(cells, 0.0);
  c12_.assign(cells, 0.0);
  const View layout = view();
  for (std::size_t i = 0; i < n_first; ++i) {
    for (std::size_t j = 0; j < n_second; ++j) {
      const PotK& k = table[i][j];
      const std::size_t at = layout.at(i, j);
      kind_[at] = static_cast<std::uint8_t>(k.tag);
      switch (k.tag) {
        case PotKind::R0:
          break;
        case PotKind::R1:
          c1_[at] = k._0;
          has_r1_ = true;
          break;
        case PotKind::R6R12:
          c6_[at] = k._0;
          c12_[at] = k._1;
          has_r612_ = true;
          break;
        case PotKind::R1R6R12:
          c1_[at] = k._0;
          c6_[at] = k._1;
          c12_[at] = k._2;
          has_r1_ = true;
          has_r612_ = true;
          break;
      }
    }
  }
  never_interacts_ = !has_r1_ && !has_r612_;
  all_r1r6r12_ = true;
  for (std::size_t i = 0; i < n_first; ++i) {
    for (std::size_t j = 0; j < n_second; ++j) {
      if (table[i][j].tag != PotKind::R1R6R12) all_r1r6r12_ = false;
    }
  }
  small_ = !never_interacts_ && !by_rows_ && n_first <= 4 && n_second <= 4 && n_first * n_second > 1;
}

double PairKernel::energy(const SiteArray& first, const SiteArray& second, Site offset) const {
  return energy_on(active_kernel_path(), first, second, offset);
}

double PairKernel::energy_on(KernelPath path, const SiteArray& first, const SiteArray& second,
                             Site offset) const {
  if (n_first_ == 0 || n_second_ == 0) return -0.0;
  // Every term is +0.0, so every row sum and the total are +0.0.
  if (never_interacts_) return 0.0;
  const View k = view();
  if (n_first_ == 1 && n_second_ == 1) {
    // One term: nothing to do side by side.
    const double r = clamped_distance(first.x()[0], first.y()[0], first.z()[0],
                                      second.x()[0] + offset.x, second.y()[0] + offset.y,
                                      second.z()[0] + offset.z);
    return (-0.0 + (-0.0 + packed_term(k, 0, r)));
  }
  return implementation_for(path)(k, first, second, offset);
}

PairKernel::Implementation PairKernel::implementation_for(KernelPath path) const {
  if (small_ && path != KernelPath::portable) {
    if (const Implementation body = detail::small_pair_kernel_avx2(view())) return body;
  }
  return implementation(path);
}

PairKernel::TurnedImplementation PairKernel::turned_implementation_for(KernelPath path) const {
  if (!small_ || path == KernelPath::portable) return nullptr;
  return detail::small_turned_pair_kernel_avx2(view());
}

PairKernel::Implementation PairKernel::implementation(KernelPath path) {
  switch (path) {
    case KernelPath::avx512:
      return detail::pair_kernel_avx512;
    case KernelPath::avx2:
      return detail::pair_kernel_avx2;
    case KernelPath::portable:
      break;
  }
  return detail::pair_kernel_portable;
}

namespace detail {

double pair_kernel_portable(const PairKernel::View& k, const SiteArray& a, const SiteArray& b,
                            Site o) {
  const std::size_t n1 = k.n_first;
  const std::size_t n2 = k.n_second;
  double total = -0.0;
  for (std::size_t i = 0; i < n1; ++i) {
    const double ax = a.x()[i], ay = a.y()[i], az = a.z()[i];
    double row = -0.0;
    for (std::size_t j = 0; j < n2; ++j) {
      const double r = clamped_distance(ax, ay, az, b.x()[j] + o.x, b.y()[j] + o.y, b.z()[j] + o.z);
      row = row + packed_term(k, k.at(i, j), r);
    }
    total = total + row;
  }
  return total;
}

}  // namespace detail

}  // namespace vica
