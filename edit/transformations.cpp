// Transformations of the light curve as a whole: normalising magnitudes to
// relative flux, constant offsets, the mirrored copy, the spectral-window
// probe, the flux/magnitude conversions written to derived files, and the
// removal of the fitted period.
#include "edit/transformations.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "core/derived_files.h"
#include "core/file_names.h"
#include "core/number_format.h"
#include "core/text_file.h"
#include "edit/edit_common.h"

namespace fazorn {

using edit_detail::countOfPoints;
using edit_detail::lightCurveRedrawn;
using edit_detail::lightCurveRedrawnAndRephased;
using edit_detail::nothingDone;

Outcome normalizeLightCurve(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  if (!ws.magAtMaximumValid) {
    // The last model had no positive maximum flux, so there is no
    // magnitude at maximum light to normalise to.
    Outcome out;
    out.ok = false;
    out.cancelled = true;
    out.message = warningBox(
        "The light curve cannot be normalized: the last analysis gave no magnitude at "
        "maximum light.");
    return out;
  }
  LightCurve& lc = ws.lightCurve;
  // Magnitudes become flux relative to the model's maximum light (1 at
  // maximum). Errors and weights stay as they were.
  for (int i = 0; i < lc.pointCount; ++i)
    lc.value[i] = std::pow(10.0, -0.4 * (lc.value[i] - ws.magAtMaximum));
  ws.normalized = 1;
  Outcome out = lightCurveRedrawn(ws);
  const Outcome refreshed = refreshPhasing(ws);
  out.redraw.phaseDiagram = refreshed.redraw.phaseDiagram;
  out.redraw.results = refreshed.redraw.results;
  return out;
}

namespace {

// The constant is added as the single-precision number nearest to it (0.1
// adds 0.100000001490116), as the dialog's conversion has always given it.
// Beyond the single-precision range the constant is used as it is.
double singlePrecision(double constant) {
  if (std::isfinite(constant) && std::fabs(constant) <= FLT_MAX)
    return static_cast<double>(static_cast<float>(constant));
  return constant;
}

// Phases and the phase diagram are not refreshed by the offsets: the phase
// diagram keeps the values of the last phasing.
Outcome addToAll(Workspace& ws, std::vector<double>& target, double constant) {
  const double c = singlePrecision(constant);
  for (int i = 0; i < ws.lightCurve.pointCount; ++i) target[i] += c;
  return lightCurveRedrawn(ws);
}

}  // namespace

Outcome addToX(Workspace& ws, double constant) {
  if (ws.dataLoaded != 1) return nothingDone();
  return addToAll(ws, ws.lightCurve.time, constant);
}

Outcome addToY(Workspace& ws, double constant) {
  if (ws.dataLoaded != 1) return nothingDone();
  return addToAll(ws, ws.lightCurve.value, constant);
}

Outcome addFlippedDataset(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  const int n = lc.pointCount;
  // Mirrored in time about the mean time of the last redraw, appended after
  // the existing points and marked, so that "Remove marked points" takes the
  // copy away again.
  const double mirror = 2 * ws.stats.meanTime;
  const std::size_t size = 2 * static_cast<std::size_t>(n);
  lc.time.resize(size);
  lc.value.resize(size);
  lc.error.resize(size);
  lc.weight.resize(size);
  lc.mark.resize(size);
  for (int i = 0; i < n; ++i) {
    lc.time[n + i] = mirror - lc.time[i];
    lc.value[n + i] = lc.value[i];
    lc.error[n + i] = lc.error[i];
    lc.weight[n + i] = lc.weight[i];
    lc.mark[n + i] = 1;
  }
  lc.scratchValue.assign(size, 0.0);
  lc.scratchError.assign(size, 0.0);
  lc.pointCount = static_cast<std::int32_t>(size);
  Outcome out = lightCurveRedrawnAndRephased(ws);
  out.redraw.clearPeriodogram = true;
  return out;
}

Outcome spectralWindow(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  LightCurve& lc = ws.lightCurve;
  // A single tiny spike on a flat curve: a search then shows the window
  // function of the sampling times.
  for (int i = 0; i < lc.pointCount; ++i) lc.value[i] = 0;
  if (lc.pointCount > 0) lc.value[0] = 1e-7;
  return lightCurveRedrawn(ws);
}

namespace {

// Writes one converted line per point to the derived file with `suffix`;
// `convert` gives false for a point that has no converted value, which is
// then left out and counted.
template <typename Convert>
Outcome writeConverted(Workspace& ws, const char* suffix, Convert convert,
                       const char* leftOutReason) {
  if (ws.dataLoaded != 1) return nothingDone();
  const LightCurve& lc = ws.lightCurve;
  long leftOut = 0;
  Outcome out = writeDerivedFile(
      ws, suffix, {informationBox("Light curve plotted to file.")}, [&](TextFileWriter& file) {
        for (int i = 0; i < lc.pointCount; ++i) {
          double value, error;
          if (!convert(lc.value[i], lc.error[i], value, error)) {
            ++leftOut;
            continue;
          }
          file.print("%14.7f\t%12.6f\t%12.6f\n", lc.time[i], value, error);
        }
      });
  if (!out.ok) return out;
  if (leftOut > 0) {
    out.addNote(countOfPoints(leftOut) + " left out: " + leftOutReason + ".");
    out.message->text += "\n" + out.notes.back();
  }
  return out;
}

}  // namespace

Outcome fluxToMag(Workspace& ws) {
  return writeConverted(
      ws, suffix::mag,
      [](double flux, double fluxError, double& mag, double& magError) {
        // Magnitude -2.5 log10(flux); its error is the magnitude difference
        // between flux and flux + error. Neither exists unless both fluxes
        // are positive.
        if (!(flux > 0) || !(flux + fluxError > 0)) return false;
        // (+ 0.0 writes a flux of exactly 1 as 0.000000, not -0.000000.)
        mag = -2.5 * std::log10(flux) + 0.0;
        magError = 2.5 * std::log10(flux + fluxError) - 2.5 * std::log10(flux);
        return std::isfinite(mag) && std::isfinite(magError);
      },
      "a flux or flux + error of 0 or below (or not a number) has no magnitude");
}

Outcome magToFlux(Workspace& ws) {
  return writeConverted(
      ws, suffix::flux,
      [](double mag, double magError, double& flux, double& fluxError) {
        // Flux 10^(-0.4 mag); its error is the relative flux change of one
        // magnitude error.
        flux = std::pow(10.0, -0.4 * mag);
        fluxError = 1 - std::pow(10.0, -0.4 * magError);
        return std::isfinite(flux) && std::isfinite(fluxError);
      },
      "the flux is not a finite number");
}

namespace {

// The constants of the prewhitening sinusoid as users' earlier residuals
// were computed with (not full-precision 2 pi and pi / 2).
constexpr double kRemoveTwoPi = 6.2832;
constexpr double kRemoveHalfPi = 1.5708;

// A refused command that changed nothing, with the reason as a note.
Outcome refusedWithNote(const char* note) {
  Outcome out = nothingDone();
  out.addNote(note);
  return out;
}

}  // namespace

Outcome removePeriod(Workspace& ws) {
  LightCurve& lc = ws.lightCurve;
  const int n = std::min<int>(lc.pointCount, static_cast<int>(lc.value.size()));
  if (n < 1) return refusedWithNote("No light curve is loaded.");
  // A period of 0 or a non-finite amplitude would turn every value into nan.
  if (!(ws.period > 0.0) || !std::isfinite(ws.period) || !std::isfinite(ws.amplitude) ||
      !std::isfinite(ws.t0))
    return refusedWithNote("Remove period needs a positive period and a fitted amplitude.");
  // Extremes from the data, whatever its scale.
  double smallest = std::numeric_limits<double>::infinity();
  double largest = -smallest;
  double sum = 0.0;
  const double half = 0.5 * ws.amplitude;
  for (int i = 0; i < n; ++i) {
    const double s = std::sin((ws.t0 - lc.time[i]) * kRemoveTwoPi / ws.period + kRemoveHalfPi);
    lc.value[i] = lc.value[i] - (half - s * half);
    if (lc.value[i] < smallest) smallest = lc.value[i];
    if (lc.value[i] > largest) largest = lc.value[i];
    sum += lc.value[i];
  }
  ws.stats.meanValue = sum / lc.pointCount;
  ws.stats.valueRange = largest >= smallest ? largest - smallest : 0.0;
  Outcome out;
  out.status[0] = "Brightness: " + formatFixed(ws.stats.meanValue, 2, 5, ws.decimalSeparator);
  out.status[1] = "Amplitude: " + formatFixed(ws.stats.valueRange, 2, 5, ws.decimalSeparator);
  out.status[2] = "";
  out.redraw.lightCurve = true;
  return out;
}

}  // namespace fazorn
