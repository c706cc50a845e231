#include "model/classification.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "core/number_format.h"
#include "core/statistics.h"

namespace fazorn {

namespace {

// Types whose score is within this factor of the best are listed too.
constexpr double kListedWithin = 1.15;

bool admits(const TypeTemplate& t, double period, double amplitude) {
  return period > t.periodLow && period < t.periodHigh && amplitude > t.amplitudeLow &&
         amplitude < t.amplitudeHigh;
}

}  // namespace

std::array<double, kTemplateNodes> observedCurve(const Workspace& ws) {
  std::array<double, kTemplateNodes> curve;
  curve.fill(kEmptyNode);
  // Without a positive amplitude and a magnitude at maximum there is no
  // normalisation: every node stays empty and no template can match.
  if (!(ws.amplitude > 0.0) || !std::isfinite(ws.amplitude) || !ws.magAtMaximumValid) return curve;
  const std::size_t n = std::min(ws.phase.size(), ws.phasedValue.size());
  std::array<double, kTemplateNodes> sum{};
  std::array<int, kTemplateNodes> count{};
  forEachNodeWindow(std::span(ws.phase).first(n), [&](std::size_t i, int k) {
    sum[k] += ws.phasedValue[i];
    ++count[k];
  });
  for (int k = 0; k < kTemplateNodes; ++k)
    if (count[k] > 0) curve[k] = 1.0 - (sum[k] / count[k] - ws.magAtMaximum) / ws.amplitude;
  return curve;
}

double bestCurveScore(const std::array<double, kTemplateNodes>& observed,
                      const float (&curve)[kTemplateNodes]) {
  double best = kNoTypeScore;
  for (int shift = 0; shift < kTemplateNodes; ++shift) {
    double sum = 0.0;
    int count = 0;
    for (int k = 0; k < kTemplateNodes; ++k) {
      const double o = observed[k];
      const float t = curve[(k + shift) % kTemplateNodes];
      if (o == kEmptyNode || t == kEmptyNode) continue;
      sum += std::fabs(o - t);
      ++count;
    }
    if (count == 0) continue;
    const double score = sum / count;
    if (score < best) best = score;
  }
  return best;
}

void classifyVariability(Workspace& ws) { classifyVariability(ws, typeTemplates); }

std::array<double, kTypeCount> templateScores(const Workspace& ws) {
  const std::array<double, kTemplateNodes> observed = observedCurve(ws);
  std::array<double, kTypeCount> scores;
  for (int s = 0; s < kTypeCount; ++s) {
    const TypeTemplate& t = typeTemplates[s];
    scores[s] = kNoTypeScore;
    const int curves = std::clamp(t.curveCount, 0, kMaxTemplateCurves);
    for (int c = 0; c < curves; ++c)
      scores[s] = std::min(scores[s], bestCurveScore(observed, t.curves[c]));
  }
  return scores;
}

void classifyVariability(Workspace& ws, const TypeTemplateTable& table) {
  const std::array<double, kTemplateNodes> observed = observedCurve(ws);
  for (int s = 0; s < kTypeCount; ++s) {
    const TypeTemplate& t = table[s];
    ws.typeScore[s] = kNoTypeScore;
    if (!admits(t, ws.period, ws.amplitude)) continue;
    const int curves = std::clamp(t.curveCount, 0, kMaxTemplateCurves);
    for (int c = 0; c < curves; ++c)
      ws.typeScore[s] = std::min(ws.typeScore[s], bestCurveScore(observed, t.curves[c]));
  }
  indexSort(ws.typeScore, ws.typeOrder);

  const int best = ws.typeOrder[0];
  ws.typeText = formatPrintf("%s", table[best].typeCode);
  ws.scoreText = formatPrintf("%4.3f", ws.typeScore[best]);
  for (int i = 1; i < kTypeCount; ++i) {
    const int s = ws.typeOrder[i];
    if (kListedWithin * ws.typeScore[best] >= ws.typeScore[s]) {
      ws.typeText += formatPrintf("/%s", table[s].typeCode);
      ws.scoreText += formatPrintf("/%4.3f", ws.typeScore[s]);
    }
  }

  ws.t0FromMinimum = table[best].epochAtMinimum;
  ws.t0 = ws.t0FromMinimum == 1 ? ws.epochOfMinimum : ws.epochOfMaximum;

  const char sep = ws.decimalSeparator;
  PanelTexts& p = ws.panel;
  p.maxMag = ws.magAtMaximumValid ? formatFixed(ws.magAtMaximum, 5, 8, sep) : "-";
  p.amplitude = formatFixed(ws.amplitude, 5, 8, sep);
  p.t0 = formatFixed(ws.t0, 6, 14, sep);
  p.t0Field = p.t0;
  p.type = ws.typeText;
  p.score = ws.scoreText;
}

TypeTemplateTable tableWithoutSource(
    const TypeTemplateTable& table,
    const std::array<std::array<const char*, kMaxTemplateCurves>, kTypeCount>& sources,
    std::string_view source) {
  TypeTemplateTable out = table;
  for (int s = 0; s < kTypeCount; ++s) {
    TypeTemplate& t = out[s];
    int kept = 0;
    const int curves = std::clamp(table[s].curveCount, 0, kMaxTemplateCurves);
    for (int c = 0; c < curves; ++c) {
      const char* from = sources[s][c];
      if (from != nullptr && source == from) continue;
      std::copy(std::begin(table[s].curves[c]), std::end(table[s].curves[c]), t.curves[kept]);
      ++kept;
    }
    for (int c = kept; c < kMaxTemplateCurves; ++c)
      std::fill(std::begin(t.curves[c]), std::end(t.curves[c]), 0.0f);
    t.curveCount = kept;
  }
  return out;
}

}  // namespace fazorn
