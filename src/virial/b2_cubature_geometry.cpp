#include "virial/b2_cubature_geometry.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "runtime/failure.h"
#include "virial/b2_cubature_rules.h"

namespace vica::cubature {

namespace {
Mat3 mul(const Mat3& a, const Mat3& b) {
  Mat3 c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c[3 * i + j] = (a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j]) + a[3 * i + 2] * b[6 + j];
  return c;
}
Mat3 rot_z(double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0};
}
Mat3 rot_y(double b, double cb, double sb) {
  (void)b;
  return {cb, 0.0, sb, 0.0, 1.0, 0.0, -sb, 0.0, cb};
}

// Eigenvectors of a symmetric 3x3 matrix by Jacobi rotations (columns of v).
void jacobi3(Mat3 a, Mat3& v, Vec3& lambda) {
  v = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (int sweep = 0; sweep < 60; ++sweep) {
    const double off = std::fabs(a[1]) + std::fabs(a[2]) + std::fabs(a[5]);
    if (off < 1e-300) break;
    for (int p = 0; p < 2; ++p) {
      for (int q = p + 1; q < 3; ++q) {
        const double apq = a[3 * p + q];
        if (std::fabs(apq) < 1e-300) continue;
        const double theta = (a[3 * q + q] - a[3 * p + p]) / (2.0 * apq);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (int k = 0; k < 3; ++k) {  // A <- J^T A J
          const double akp = a[3 * k + p], akq = a[3 * k + q];
          a[3 * k + p] = c * akp - s * akq;
          a[3 * k + q] = s * akp + c * akq;
        }
        for (int k = 0; k < 3; ++k) {
          const double apk = a[3 * p + k], aqk = a[3 * q + k];
          a[3 * p + k] = c * apk - s * aqk;
          a[3 * q + k] = s * apk + c * aqk;
        }
        for (int k = 0; k < 3; ++k) {
          const double vkp = v[3 * k + p], vkq = v[3 * k + q];
          v[3 * k + p] = c * vkp - s * vkq;
          v[3 * k + q] = s * vkp + c * vkq;
        }
      }
    }
  }
  lambda = {a[0], a[4], a[8]};
}




bool maps_onto_itself(const std::vector<Vec3>& s, const Equivalence& eq, const Mat3& op, double eps) {
  for (std::size_t a = 0; a < s.size(); ++a) {
    const Vec3 t = mat_apply(op, s[a]);
    bool found = false;
    for (std::size_t b = 0; b < s.size() && !found; ++b) {
      if (!eq[a][b]) continue;
      found = std::fabs(t[0] - s[b][0]) <= eps && std::fabs(t[1] - s[b][1]) <= eps && std::fabs(t[2] - s[b][2]) <= eps;
    }
    if (!found) return false;
  }
  return true;
}

}  // namespace

bool same_law(const SiteLaw& a, const SiteLaw& b) {
  return a.kind == b.kind && a.c1 == b.c1 && a.ca == b.ca && a.la == b.la && a.cr == b.cr && a.lr == b.lr &&
         a.a == b.a && a.b == b.b && a.c6 == b.c6 && a.table == b.table && a.potk.tag == b.potk.tag &&
         a.potk._0 == b.potk._0 && a.potk._1 == b.potk._1 && a.potk._2 == b.potk._2;
}

Body make_body(const Molecule& mol, const std::vector<double>& mass, const Equivalence& eq) {
  Body body;
  const std::size_t n = mol.size();
  Vec3 c{0.0, 0.0, 0.0};
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = mass.empty() ? 1.0 : mass[i];
    c[0] += w * mol[i].x;
    c[1] += w * mol[i].y;
    c[2] += w * mol[i].z;
    total += w;
  }
  for (double& x : c) x /= total;
  std::vector<Vec3> s(n);
  double reach = 0.0;
  std::size_t far = 0;
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = {mol[i].x - c[0], mol[i].y - c[1], mol[i].z - c[2]};
    if (norm(s[i]) > reach) {
      reach = norm(s[i]);
      far = i;
    }
  }
  const double eps = 1e-9 * std::max(1.0, reach);
  if (reach <= eps) {
    body.kind = 0;
    body.s.assign(n, Vec3{0.0, 0.0, 0.0});
    if (!mass.empty()) body.inv_mass = 1.0 / total;
    return body;
  }
  const Vec3 axis = {s[far][0] / reach, s[far][1] / reach, s[far][2] / reach};
  bool linear = true;
  for (const Vec3& p : s) linear = linear && norm(cross(p, axis)) <= eps;
  if (!mass.empty()) body.inv_mass = 1.0 / total;
  if (linear) {
    body.kind = 1;
    body.s.resize(n);
    for (std::size_t i = 0; i < n; ++i) body.s[i] = {0.0, 0.0, dot(s[i], axis)};
    body.inversion = maps_onto_itself(body.s, eq, Mat3{-1, 0, 0, 0, -1, 0, 0, 0, -1}, eps);
    if (!mass.empty()) {
      double inertia = 0.0;
      for (std::size_t i = 0; i < n; ++i) inertia += mass[i] * (body.s[i][2] * body.s[i][2]);
      if (!(inertia > 0.0)) throw ValueError("b2_cubature(): a linear molecule whose masses give no moment of inertia");
      body.inv_inertia[0] = 1.0 / inertia;
    }
    return body;
  }
  body.kind = 2;
  // candidate symmetry axes: the principal axes of the sites and the
  // directions of the sites themselves
  Mat3 m{};
  for (const Vec3& p : s)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[3 * i + j] += p[i] * p[j];
  Mat3 v;
  Vec3 lam;
  jacobi3(m, v, lam);
  // planar: one principal second moment vanishes
  int normal_index = -1;
  for (int i = 0; i < 3; ++i) {
    if (lam[i] <= 1e-18 * std::max(1.0, reach * reach) * static_cast<double>(n)) normal_index = i;
  }
  Vec3 normal{};
  if (normal_index >= 0) {
    normal = {v[normal_index], v[3 + normal_index], v[6 + normal_index]};
    bool planar = true;
    for (const Vec3& p : s) planar = planar && std::fabs(dot(p, normal)) <= eps;
    if (!planar) normal_index = -1;
  }
  std::vector<Vec3> candidates;
  for (int i = 0; i < 3; ++i) {
    if (i == normal_index) continue;
    candidates.push_back({v[i], v[3 + i], v[6 + i]});
  }
  if (normal_index < 0) {
    for (const Vec3& p : s) {
      const double r = norm(p);
      if (r > eps) candidates.push_back({p[0] / r, p[1] / r, p[2] / r});
    }
  }
  Mat3 best_frame{};  // rows: body axes in the molecule's frame
  int best_fold = 0;
  for (const Vec3& z : candidates) {
    Vec3 y;
    if (normal_index >= 0) {
      y = normal;
    } else {
      // any unit vector normal to z
      const Vec3 e = std::fabs(z[0]) < 0.9 ? Vec3{1.0, 0.0, 0.0} : Vec3{0.0, 1.0, 0.0};
      y = cross(z, e);
      const double ny = norm(y);
      y = {y[0] / ny, y[1] / ny, y[2] / ny};
    }
    const Vec3 x = cross(y, z);
    const Mat3 frame = {x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]};
    std::vector<Vec3> bs(n);
    for (std::size_t i = 0; i < n; ++i) bs[i] = mat_apply(frame, s[i]);
    int fold = 1;
    for (int k = 6; k >= 2; --k) {
      if (maps_onto_itself(bs, eq, rot_z(2.0 * kPi / k), eps)) {
        fold = k;
        break;
      }
    }
    if (fold > best_fold) {
      best_fold = fold;
      best_frame = frame;
    }
  }
  body.fold = best_fold;
  body.planar = normal_index >= 0;
  body.s.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    body.s[i] = mat_apply(best_frame, s[i]);
    if (body.planar) body.s[i][1] = 0.0;
  }
  if (!mass.empty()) {
    Mat3 in{};
    for (std::size_t i = 0; i < n; ++i) {
      const Vec3& p = body.s[i];
      const double r2 = dot(p, p);
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) in[3 * a + b] += mass[i] * ((a == b ? r2 : 0.0) - p[a] * p[b]);
    }
    const double det = in[0] * (in[4] * in[8] - in[5] * in[7]) - in[1] * (in[3] * in[8] - in[5] * in[6]) +
                       in[2] * (in[3] * in[7] - in[4] * in[6]);
    const double trace = in[0] + in[4] + in[8];
    if (!(det > 1e-12 * trace * trace * trace)) {
      throw ValueError("b2_cubature(): a nonlinear molecule whose masses give a vanishing principal moment of inertia");
    }
    Mat3 inv;
    inv[0] = (in[4] * in[8] - in[5] * in[7]) / det;
    inv[1] = (in[2] * in[7] - in[1] * in[8]) / det;
    inv[2] = (in[1] * in[5] - in[2] * in[4]) / det;
    inv[3] = (in[5] * in[6] - in[3] * in[8]) / det;
    inv[4] = (in[0] * in[8] - in[2] * in[6]) / det;
    inv[5] = (in[2] * in[3] - in[0] * in[5]) / det;
    inv[6] = (in[3] * in[7] - in[4] * in[6]) / det;
    inv[7] = (in[1] * in[6] - in[0] * in[7]) / det;
    inv[8] = (in[0] * in[4] - in[1] * in[3]) / det;
    body.inv_inertia = inv;
  }
  return body;
}

std::string describe(const Body& b) {
  switch (b.kind) {
    case 0:
      return "one-centre";
    case 1:
      return b.inversion ? "linear (inversion)" : "linear";
    default:
      return std::string(b.planar ? "planar" : "nonlinear") + (b.fold > 1 ? " (" + std::to_string(b.fold) + "-fold)" : "");
  }
}


PairLaw prepare(const SiteLaw& law) {
  PairLaw p;
  p.law = &law;
  if (law.kind <= 3 || (law.kind == 4 && law.la == 6.0 && law.lr == 12.0)) {
    const PotK& k = law.potk;
    switch (k.tag) {
      case PotKind::R0:
        p.form = 0;
        break;
      case PotKind::R1:
        p.form = 2;
        p.c1 = k._0;
        break;
      case PotKind::R6R12:
        p.form = 1;
        p.c6 = k._0;
        p.c12 = k._1;
        break;
      case PotKind::R1R6R12:
        p.form = k._0 == 0.0 ? 1 : 2;
        p.c1 = k._0;
        p.c6 = k._1;
        p.c12 = k._2;
        break;
    }
  } else {
    p.form = 3;
  }
  return p;
}

// du/dr of a general law
double law_slope(const SiteLaw& law, double r) {
  switch (law.kind) {
    case 4:
      return (-law.c1 / (r * r) - law.la * law.ca * std::pow(r, -law.la - 1.0)) - law.lr * law.cr * std::pow(r, -law.lr - 1.0);
    case 5:
      return (-law.c1 / (r * r) - law.a * law.b * std::exp(-law.b * r)) - 6.0 * law.c6 * std::pow(r, -7.0);
    case 6: {
      const LawTable& t = *law.table;
      const std::size_t n = t.r.size();
      if (r < t.r[0] || r >= t.r[n - 1]) return 0.0;
      const std::size_t hi = static_cast<std::size_t>(std::upper_bound(t.r.begin(), t.r.end(), r) - t.r.begin());
      const std::size_t lo = hi - 1;
      const double h = t.r[hi] - t.r[lo];
      const double x = (r - t.r[lo]) / h, y = 1.0 - x;
      return (t.u[hi] - t.u[lo]) / h + ((3.0 * x * x - 1.0) * t.m[hi] - (3.0 * y * y - 1.0) * t.m[lo]) * h / 6.0;
    }
    default: {
      const PotK& k = law.potk;
      const double i6 = 1.0 / ((r * r) * (r * r) * (r * r));
      return (-k._0 / (r * r) - 6.0 * k._1 * i6 / r) - 12.0 * k._2 * (i6 * i6) / r;
    }
  }
}

// A length scale of a law: where repulsion meets attraction (sigma for LJ).
double law_size(const SiteLaw& law) {
  switch (law.kind) {
    case 2:
    case 3:
      if (law.potk.tag != PotKind::R1 && law.potk.tag != PotKind::R0) {
        const double c6 = law.potk.tag == PotKind::R6R12 ? law.potk._0 : law.potk._1;
        const double c12 = law.potk.tag == PotKind::R6R12 ? law.potk._1 : law.potk._2;
        if (c6 < 0.0 && c12 > 0.0) return std::pow(-c12 / c6, 1.0 / 6.0);
      }
      return 0.0;
    case 4:
      if (law.ca < 0.0 && law.cr > 0.0 && law.lr > law.la) return std::pow(-law.cr / law.ca, 1.0 / (law.lr - law.la));
      return 0.0;
    case 5:
      if (law.a > 0.0 && law.c6 < 0.0) {
        double r = 1.0 / law.b;  // A e^{-Br} = -c6 / r^6, by fixed point from outside
        for (int i = 0; i < 60; ++i) r = std::log(law.a * std::pow(r, 6.0) / -law.c6) / law.b;
        return std::isfinite(r) && r > 0.0 ? r : 0.0;
      }
      return 0.0;
    case 6:
      return law.table->r.back();
  }
  return 0.0;
}

// tau I^-1 tau of a molecule turned by rot (tau in the lab frame).
double rotational(const Body& b, const Mat3& rot, const Vec3& tau) {
  if (b.kind == 0) return 0.0;
  if (b.kind == 1) return dot(tau, tau) * b.inv_inertia[0];
  const Vec3 tb{(rot[0] * tau[0] + rot[3] * tau[1]) + rot[6] * tau[2],
                (rot[1] * tau[0] + rot[4] * tau[1]) + rot[7] * tau[2],
                (rot[2] * tau[0] + rot[5] * tau[1]) + rot[8] * tau[2]};
  return dot(tb, mat_apply(b.inv_inertia, tb));
}



// cos(beta) nodes and weights (summing to 1) of an n-point Gauss-Legendre rule,
// the half c >= 0 with doubled weights for a molecule that is its own mirror image.
void cos_rule(int n, bool half, std::vector<double>& c, std::vector<double>& w) {
  std::vector<double> x, wx;
  gauss_legendre(n, x, wx);
  c.clear();
  w.clear();
  for (int i = 0; i < n; ++i) {
    if (half) {
      if (x[i] < 0.0) continue;
      c.push_back(x[i]);
      w.push_back(x[i] > 0.0 ? wx[i] : 0.5 * wx[i]);
    } else {
      c.push_back(x[i]);
      w.push_back(0.5 * wx[i]);
    }
  }
}

void add_orientation(OrientationSet& set, const Body& b, const Mat3& r, double w) {
  set.rot.push_back(r);
  set.w.push_back(w);
  for (const Vec3& p : b.s) {
    const Vec3 q = mat_apply(r, p);
    set.pos.insert(set.pos.end(), q.begin(), q.end());
  }
  ++set.count;
}

void fill_soa(OrientationSet& set) {
  set.soa.assign(set.pos.size(), 0.0);
  for (std::size_t j = 0; j < set.count; ++j)
    for (std::size_t b = 0; b < set.sites; ++b)
      for (std::size_t c = 0; c < 3; ++c) set.soa[(b * 3 + c) * set.count + j] = set.pos[(j * set.sites + b) * 3 + c];
}

// Molecule 1 (alpha = 0) or molecule 2 (alpha over its period) at angular
// level n (Gauss points in cos beta).
OrientationSet orientations(const Body& b, int n, bool first, bool mirror) {
  OrientationSet set;
  set.sites = b.s.size();
  const Mat3 identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
  if (b.kind == 0) {
    add_orientation(set, b, identity, 1.0);
    fill_soa(set);
    return set;
  }
  std::vector<double> alpha{0.0}, wa{1.0};
  if (!first) {
    alpha.clear();
    wa.clear();
    if (mirror) {
      for (int j = 0; j <= n; ++j) {
        alpha.push_back(kPi * j / n);
        wa.push_back((j == 0 || j == n ? 0.5 : 1.0) / n);
      }
    } else {
      const int m = 2 * n;
      for (int j = 0; j < m; ++j) {
        alpha.push_back(2.0 * kPi * j / m);
        wa.push_back(1.0 / m);
      }
    }
  }
  std::vector<double> c, wc;
  cos_rule(n, b.kind == 1 && b.inversion, c, wc);
  std::vector<double> gamma{0.0}, wg{1.0};
  if (b.kind == 2) {
    const int m = std::max(1, (2 * n + b.fold - 1) / b.fold);
    gamma.clear();
    wg.clear();
    for (int j = 0; j < m; ++j) {
      gamma.push_back(2.0 * kPi * j / (m * b.fold));
      wg.push_back(1.0 / m);
    }
  }
  for (std::size_t ia = 0; ia < alpha.size(); ++ia) {
    const Mat3 ra = rot_z(alpha[ia]);
    for (std::size_t ib = 0; ib < c.size(); ++ib) {
      const double sb = std::sqrt(std::max(0.0, 1.0 - c[ib] * c[ib]));
      const Mat3 rab = mul(ra, rot_y(0.0, c[ib], sb));
      for (std::size_t ig = 0; ig < gamma.size(); ++ig) {
        add_orientation(set, b, mul(rab, rot_z(gamma[ig])), (wa[ia] * wc[ib]) * wg[ig]);
      }
    }
  }
  fill_soa(set);
  return set;
}

}  // namespace vica::cubature
