// Uij::u_r: the plain mean of the pair energy over random orientations.
#include <cmath>
#include <string>

#include "runtime/failure.h"
#include "runtime/number_forms.h"
#include "runtime/progress_log.h"
#include "runtime/random_source.h"
#include "uij/step_trig.h"
#include "uij/uij.h"

namespace vica {
namespace {

// (((w0 + w1) + w2) + ... + w9) / 10
double window_mean(const double (&w)[MEAN_WINDOW]) {
  double s = w[0];
  for (std::size_t k = 1; k < MEAN_WINDOW; ++k) s = s + w[k];
  return s / 10.0;
}

// The root of the plain sum of squared differences from the mean.
double window_deviation(const double (&w)[MEAN_WINDOW], double mean) {
  const double d0 = w[0] - mean;
  double s = d0 * d0;
  for (std::size_t k = 1; k < MEAN_WINDOW; ++k) {
    const double d = w[k] - mean;
    s = s + d * d;
  }
  return std::sqrt(s);
}

}  // namespace

double Uij::u_r(double r, double dev_tol, std::uint64_t num_inner, std::uint64_t num_outer,
                std::uint64_t num_print) const {
  const RunClock clock = RunClock::start();
  const std::shared_ptr<RandomSource> source = RandomSource::for_current_thread();
  RandomSource& rng = *source;
  SiteArray turned_i(pair_.moli);
  SiteArray turned_j(pair_.molj);
  SiteArray turned_i2(pair_.moli);
  SiteArray turned_j2(pair_.molj);
  const TrigRoutines& trig = step_trig();

  double sum = 0.0;
  double window[MEAN_WINDOW] = {};

  auto run_block = [&](std::uint64_t block) {
    std::uint64_t s = 0;
    // Two samples at a time: their ten draws in order (the five of the first,
    // then the five of the second), their four arc cosines in one call, their
    // ten sines and cosines in another, their energies side by side, added to
    // the sum in sample order.  Each value is the one the sample alone would
    // give.  (A table too small for the molecules takes the one-sample loop,
    // so that it fails after the five draws of the first sample.)
    if (table_fits_) {
      for (; s + 1 < num_inner; s += 2) {
        double u[10];
        for (double& v : u) v = rng.uniform01();
        const Acos4 polar = trig.acos4(1.0 - 2.0 * u[1], 1.0 - 2.0 * u[3], 1.0 - 2.0 * u[6], 1.0 - 2.0 * u[8]);
        double x[10];
        for (int k = 0; k < 2; ++k) {
          const double* v = u + 5 * k;
          const double theta1 = polar.a[2 * k] / TWO_PI;
          const double theta2 = polar.a[2 * k + 1] / TWO_PI;
          x[5 * k] = v[0] * TWO_PI;
          x[5 * k + 1] = theta1 * TWO_PI;
          x[5 * k + 2] = v[2] * TWO_PI;
          x[5 * k + 3] = theta2 * TWO_PI;
          x[5 * k + 4] = v[4] * TWO_PI;
        }
        const SinCos10 sc = trig.sincos10(x);
        const double* c = sc.c;
        const double* sn = sc.s;
        const double e0 = energy_at(r, rotation2_from_sincos(c[0], sn[0], c[1], sn[1]),
                                    rotation_from_sincos(EulerSinCos{c[2], sn[2], c[3], sn[3], c[4], sn[4]}),
                                    turned_i, turned_j);
        const double e1 = energy_at(r, rotation2_from_sincos(c[5], sn[5], c[6], sn[6]),
                                    rotation_from_sincos(EulerSinCos{c[7], sn[7], c[8], sn[8], c[9], sn[9]}),
                                    turned_i2, turned_j2);
        sum = sum + e0;
        sum = sum + e1;
      }
    }
    for (; s < num_inner; ++s) {
      // Five uniform draws in this order: phi1, theta1, phi2, theta2, psi2
      // (turns).  The polar angles have their cosine uniform on [-1, 1]:
      // theta = acos(1 - 2 u) / 2 pi, so orientations are uniform over the
      // sphere.  The two arc cosines come from one call, the five sines and
      // cosines from another.
      const double phi1 = rng.uniform01();
      const double u_theta1 = rng.uniform01();
      const double phi2 = rng.uniform01();
      const double u_theta2 = rng.uniform01();
      const double psi2 = rng.uniform01();
      const Acos2 polar = trig.acos2(1.0 - 2.0 * u_theta1, 1.0 - 2.0 * u_theta2);
      const double theta1 = polar.a0 / TWO_PI;
      const double theta2 = polar.a1 / TWO_PI;
      const SinCos5 sc = trig.sincos5(phi1 * TWO_PI, theta1 * TWO_PI, phi2 * TWO_PI, theta2 * TWO_PI, psi2 * TWO_PI);
      const Rotation rot_i = rotation2_from_sincos(sc.c[0], sc.s[0], sc.c[1], sc.s[1]);
      const Rotation rot_j = rotation_from_sincos(EulerSinCos{sc.c[2], sc.s[2], sc.c[3], sc.s[3], sc.c[4], sc.s[4]});
      sum = sum + energy_at(r, rot_i, rot_j, turned_i, turned_j);
    }
    const std::uint64_t count = block * num_inner;
    window[block % MEAN_WINDOW] = sum / static_cast<double>(count);
  };

  // Warm-up: blocks 1 to 10, no test, no line.
  for (std::uint64_t block = 1; block <= MEAN_WINDOW; ++block) run_block(block);
  double mean = window_mean(window);

  for (std::uint64_t done = 0; done < num_outer; ++done) {
    const std::uint64_t l = done + 1;
    run_block(l + MEAN_WINDOW);
    mean = window_mean(window);
    const double deviation = window_deviation(window, mean);
    if (num_print == 0) fail("attempt to calculate the remainder with a divisor of zero");
    if (l % num_print == 0) {
      ProgressLog::print("[Uij::u_r] i=(" + std::to_string(l) + "/" + std::to_string(num_outer) +
                         ")*" + std::to_string(num_inner) + ", result=" + fmt_fixed(mean, 4) +
                         ", deviation=" + fmt_fixed(deviation, 4) + ", " + hms_text(clock) + "\n");
    }
    if (deviation < DEVIATION_FLOOR) break;
    if (deviation / std::fabs(mean) < dev_tol) break;
  }
  return mean;
}

}  // namespace vica
