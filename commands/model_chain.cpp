#include "commands/model_chain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/derived_files.h"
#include "core/number_format.h"
#include "core/results_panel.h"
#include "core/text_file.h"
#include "model/classification.h"
#include "model/phased_model.h"

namespace fazorn {

namespace {

Outcome refused(const char* note) {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.addNote(note);
  return out;
}

// Magnitude of a flux against the reference (median) flux.
double relativeMagnitude(double flux, double reference) {
  return -2.5 * std::log10(flux / reference);
}

// The model and the classification read magnitudes (the templates' ranges
// of amplitude are in magnitudes, and the fit takes 10^(-0.4 value) as the
// flux). For a flux light curve they are given, for the time of the chain,
// the light curve of the points with a positive flux in magnitudes
// -2.5 log10(flux / median positive flux), with the phases those points had;
// restore() puts the observations back untouched and phases them as the
// chain last phased (so the phase diagram and the saved phased data are
// fluxes, as before). A magnitude light curve passes through unchanged.
class MagnitudeScope {
 public:
  explicit MagnitudeScope(Workspace& ws) : ws_(ws) {
    if (ws.lightCurve.valueKind != ValueKind::Flux) {
      ws.modelPointsLeftOut = 0;
      ws.modelReferenceFlux = 0.0;
      return;
    }
    active_ = true;
    const LightCurve& lc = ws.lightCurve;
    const auto n = static_cast<std::size_t>(std::max(lc.pointCount, 0));
    std::vector<double> positive;
    for (std::size_t i = 0; i < n; ++i)
      if (lc.value[i] > 0.0 && std::isfinite(lc.value[i])) positive.push_back(lc.value[i]);
    double reference = 1.0;
    if (!positive.empty()) {
      // The median (the upper one of an even count: only a scale).
      const auto mid = positive.begin() + static_cast<std::ptrdiff_t>(positive.size() / 2);
      std::nth_element(positive.begin(), mid, positive.end());
      reference = *mid;
    }
    const bool phasesMatch = ws.phase.size() == n;
    LightCurve mags;
    mags.valueKind = ValueKind::Magnitude;
    std::vector<double> phase;
    for (std::size_t i = 0; i < n; ++i) {
      const double f = lc.value[i];
      if (!(f > 0.0) || !std::isfinite(f)) continue;
      const double e = lc.error[i];
      // The first-order magnitude error 2.5 / ln 10 * e / f.
      const double magError = 2.5 / std::log(10.0) * e / f;
      mags.time.push_back(lc.time[i]);
      mags.value.push_back(relativeMagnitude(f, reference));
      mags.error.push_back(magError);
      mags.weight.push_back((1.0 / magError) / magError);
      mags.mark.push_back(lc.mark[i]);
      if (phasesMatch) phase.push_back(ws.phase[i]);
    }
    mags.pointCount = static_cast<std::int32_t>(mags.time.size());
    mags.scratchValue.assign(mags.time.size(), 0.0);
    mags.scratchError.assign(mags.time.size(), 0.0);
    ws.modelPointsLeftOut = static_cast<std::int32_t>(n - mags.time.size());
    ws.modelReferenceFlux = reference;

    fluxes_ = std::move(ws.lightCurve);
    savedPhase_ = std::move(ws.phase);
    savedPhasedValue_ = std::move(ws.phasedValue);
    ws.lightCurve = std::move(mags);
    if (phasesMatch) {
      ws.phase = std::move(phase);
      ws.phasedValue = ws.lightCurve.value;
    } else {
      computePhases(ws);
    }
  }

  // computePhases inside the chain.
  void phase() {
    computePhases(ws_);
    phasedT0_ = ws_.t0;
  }

  void restore() {
    if (!active_) return;
    active_ = false;
    ws_.lightCurve = std::move(fluxes_);
    if (phasedT0_) {
      const double t0 = ws_.t0;
      ws_.t0 = *phasedT0_;
      computePhases(ws_);
      ws_.t0 = t0;
    } else {
      ws_.phase = std::move(savedPhase_);
      ws_.phasedValue = std::move(savedPhasedValue_);
    }
  }

  ~MagnitudeScope() { restore(); }
  MagnitudeScope(const MagnitudeScope&) = delete;
  MagnitudeScope& operator=(const MagnitudeScope&) = delete;

 private:
  Workspace& ws_;
  bool active_ = false;
  LightCurve fluxes_;
  std::vector<double> savedPhase_, savedPhasedValue_;
  std::optional<double> phasedT0_;
};

}  // namespace

void runModelChain(Workspace& ws, const TypeTemplateTable& table) {
  MagnitudeScope mags(ws);
  fitPhasedLightCurve(ws);
  classifyVariability(ws, table);
  mags.phase();
  fitPhasedLightCurve(ws);
  classifyVariability(ws, table);
}

void runShortModelChain(Workspace& ws) {
  MagnitudeScope mags(ws);
  fitPhasedLightCurve(ws);
  classifyVariability(ws);
  mags.phase();
}

std::string modelChainNote(const Workspace& ws) {
  const int n = ws.modelPointsLeftOut;
  if (ws.lightCurve.valueKind != ValueKind::Flux || n <= 0) return {};
  return std::to_string(n) + (n == 1 ? " point has" : " points have") +
         " a flux of 0 or less (no magnitude) and " + (n == 1 ? "was" : "were") +
         " left out of the model and the classification.";
}

Outcome analyseAtPeriod(Workspace& ws, double period) {
  if (ws.lightCurve.pointCount < 1) return refused("No light curve is loaded.");
  if (!(period > 0.0) || !std::isfinite(period))
    return refused("The period must be a positive number.");
  ws.period = period;
  ws.t0 = 0.0;
  computePhases(ws);
  runModelChain(ws);
  const char sep = ws.decimalSeparator;
  ws.panel.period = formatFixed(ws.period, 6, 10, sep);
  ws.panel.periodField = ws.panel.period;
  enableAfterPhasing(ws);
  Outcome out;
  if (const std::string note = modelChainNote(ws); !note.empty()) out.addNote(note);
  out.redraw.phaseDiagram = true;
  out.redraw.results = true;
  return out;
}

Outcome getStatistics(Workspace& ws) {
  if (ws.lightCurve.pointCount < 1) return refused("No light curve is loaded.");
  if (!(ws.period > 0.0) || !std::isfinite(ws.period))
    return refused("The period must be a positive number.");
  {
    MagnitudeScope mags(ws);
    fitPhasedLightCurve(ws);
    classifyVariability(ws);
  }
  ws.t0 = ws.t0FromMinimum == 1 ? ws.epochOfMinimum : ws.epochOfMaximum;
  computePhases(ws);
  enableAfterPhasing(ws);
  Outcome out;
  if (const std::string note = modelChainNote(ws); !note.empty()) out.addNote(note);
  out.redraw.phaseDiagram = true;
  out.redraw.results = true;
  return out;
}

Outcome addAsTemplate(Workspace& ws, const std::string& path) {
  // Without a positive amplitude or a magnitude at maximum the curve cannot
  // be normalised: every node is written as empty rather than as inf or nan.
  const bool normalisable =
      ws.amplitude > 0.0 && std::isfinite(ws.amplitude) && ws.magAtMaximumValid;
  const std::size_t n = std::min(ws.phase.size(), ws.phasedValue.size());
  // A flux light curve keeps fluxes in its phase diagram while the amplitude
  // and the magnitude at maximum of the last model chain are magnitudes
  // against modelReferenceFlux: the phased fluxes are put on that same scale
  // (points with flux 0 or less have no magnitude and are left out, as the
  // chain left them out). Without a chain of this kind there is no scale to
  // put them on, and a template of raw fluxes would be upside down and out
  // of range for every classification: refused.
  const bool flux = ws.lightCurve.valueKind == ValueKind::Flux;
  const double reference = ws.modelReferenceFlux;
  if (flux && !(reference > 0.0 && std::isfinite(reference))) {
    Outcome out;
    out.ok = false;
    out.failure = Failure::Input;
    out.message = informationBox(
        "This light curve is in fluxes: run \"Analyse\" or \"Get statistics\" first, so "
        "that the template can be made from its magnitudes.");
    return out;
  }
  // Sums and means in single precision, as the template files have always
  // been written.
  std::array<float, kTemplateNodes> sum{};
  std::array<int, kTemplateNodes> count{};
  forEachNodeWindow(std::span(ws.phase).first(n), [&](std::size_t i, int k) {
    double value = ws.phasedValue[i];
    if (flux) {
      if (!(value > 0.0) || !std::isfinite(value)) return;
      value = relativeMagnitude(value, reference);
    }
    sum[k] += static_cast<float>(value);
    ++count[k];
  });
  const std::string failure = writeWholeFile(path, [&](TextFileWriter& file) {
    for (int k = 0; k < kTemplateNodes; ++k) {
      double node = -1.0;
      if (count[k] > 0 && normalisable) {
        const float mean = sum[k] / static_cast<float>(count[k]);
        node = 1.0 - (mean - ws.magAtMaximum) / ws.amplitude;
      }
      file.print("%6.4f\n", node);
    }
  });
  return failure.empty() ? Outcome{} : writeFailed(failure);
}

}  // namespace fazorn
