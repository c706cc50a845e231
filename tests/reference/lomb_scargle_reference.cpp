#include "reference/lomb_scargle_reference.h"

#include <cmath>

namespace fazorn::reference {

LombScargleReferenceResult lombScarglePeriodogram(std::span<const double> x,
                                                  std::span<const double> y, double ofac,
                                                  double hifac) {
  LombScargleReferenceResult r;
  const int n = static_cast<int>(x.size());
  const int nout = static_cast<int>(0.5 * ofac * hifac * n);
  double ave = 0.0;
  for (int j = 0; j < n; ++j) ave += y[j];
  ave /= n;
  double var = 0.0, ep = 0.0;
  for (int j = 0; j < n; ++j) {
    const double s = y[j] - ave;
    ep += s;
    var += s * s;
  }
  var = (var - ep * ep / n) / (n - 1);
  double xmax = x[0], xmin = x[0];
  for (int j = 1; j < n; ++j) {
    if (x[j] > xmax) xmax = x[j];
    if (x[j] < xmin) xmin = x[j];
  }
  const double xdif = xmax - xmin, xave = 0.5 * (xmax + xmin);
  double pymax = 0.0;
  double pnow = 1.0 / (xdif * ofac);
  std::vector<double> wi(n), wpi(n), wpr(n), wr(n);
  for (int j = 0; j < n; ++j) {
    const double arg = 6.283185307179586 * ((x[j] - xave) * pnow);
    const float sq = static_cast<float>(std::sin(0.5 * arg));
    wpr[j] = -2.0 * (sq == 0.0f ? 0.0f : sq * sq);
    wpi[j] = std::sin(arg);
    wr[j] = std::cos(arg);
    wi[j] = wpi[j];
  }
  for (int i = 0; i < nout; ++i) {
    r.frequency.push_back(pnow);
    double sumsh = 0.0, sumc = 0.0;
    for (int j = 0; j < n; ++j) {
      const double c = wr[j], s = wi[j];
      sumsh += s * c;
      sumc += (c - s) * (c + s);
    }
    const double wtau = 0.5 * std::atan2(2.0 * sumsh, sumc);
    const double swtau = std::sin(wtau), cwtau = std::cos(wtau);
    double sums = 0.0, sumsy = 0.0, sumcy = 0.0;
    sumc = 0.0;
    for (int j = 0; j < n; ++j) {
      const double s = wi[j], c = wr[j];
      const double ss = s * cwtau - c * swtau, cc = c * cwtau + s * swtau;
      sums += ss * ss;
      sumc += cc * cc;
      const double yy = y[j] - ave;
      sumsy += yy * ss;
      sumcy += yy * cc;
      const double wtemp = wr[j];
      wr[j] = (wtemp * wpr[j] - wi[j] * wpi[j]) + wr[j];
      wi[j] = (wi[j] * wpr[j] + wtemp * wpi[j]) + wi[j];
    }
    const double p = 0.5 * (sumcy * sumcy / sumc + sumsy * sumsy / sums) / var;
    r.power.push_back(p);
    if (p >= pymax) {
      pymax = p;
      r.peakIndex = i;
    }
    pnow += 1.0 / (ofac * xdif);
  }
  const double expy = std::exp(-pymax);
  const double effm = 2.0 * nout / ofac;
  double prob = effm * expy;
  if (prob > 0.01) prob = 1.0 - std::pow(1.0 - expy, effm);
  r.falseAlarmProbability = prob;
  return r;
}

}  // namespace fazorn::reference
