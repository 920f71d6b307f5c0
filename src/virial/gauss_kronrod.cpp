#include "virial/gauss_kronrod.h"

namespace vica::gk {

PartialWeights::PartialWeights() {
  double V[15][30];
  for (int i = 0; i < 15; ++i) {
    const double x = node(0.0, 1.0, i);
    double p0 = 1.0, p1 = x;
    for (int j = 0; j < 15; ++j) {
      V[i][j] = j == 0 ? 1.0 : j == 1 ? x : 0.0;
      V[i][15 + j] = i == j ? 1.0 : 0.0;
    }
    for (int j = 2; j < 15; ++j) {
      const double p2 = ((2.0 * j - 1.0) * x * p1 - (j - 1.0) * p0) / j;
      V[i][j] = p2;
      p0 = p1;
      p1 = p2;
    }
  }
  // Gauss-Jordan with partial pivoting on [V | I]
  for (int c = 0; c < 15; ++c) {
    int piv = c;
    for (int r = c + 1; r < 15; ++r) {
      if (std::fabs(V[r][c]) > std::fabs(V[piv][c])) piv = r;
    }
    for (int k = 0; k < 30; ++k) std::swap(V[c][k], V[piv][k]);
    const double d = V[c][c];
    for (int k = 0; k < 30; ++k) V[c][k] /= d;
    for (int r = 0; r < 15; ++r) {
      if (r == c) continue;
      const double f = V[r][c];
      if (f == 0.0) continue;
      for (int k = 0; k < 30; ++k) V[r][k] -= f * V[c][k];
    }
  }
  for (int j = 0; j < 15; ++j) {
    for (int i = 0; i < 15; ++i) L[j][i] = V[j][15 + i];
  }
}

void PartialWeights::at(double y, double* W) const {
  double P[16], Q[15];
  P[0] = 1.0;
  P[1] = y;
  for (int j = 2; j < 16; ++j) P[j] = ((2.0 * j - 1.0) * y * P[j - 1] - (j - 1.0) * P[j - 2]) / j;
  Q[0] = y + 1.0;
  for (int j = 1; j < 15; ++j) Q[j] = (P[j + 1] - P[j - 1]) / (2.0 * j + 1.0);
  for (int i = 0; i < 15; ++i) {
    double w = 0.0;
    for (int j = 0; j < 15; ++j) w += L[j][i] * Q[j];
    W[i] = w;
  }
}

const PartialWeights& partial_weights() {
  static const PartialWeights w;
  return w;
}

}  // namespace vica::gk
