// Variability-type classification by template matching of the normalised
// phased light curve against built-in template curves of eight types
// (after the template-matching classification of variable stars of 2005:
// the smallest mean absolute difference over all curves of a type and all
// cyclic phase shifts, among the types whose period and amplitude ranges
// admit the star).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "core/workspace.h"

namespace fazorn {

inline constexpr int kTypeCount = 8;
inline constexpr int kMaxTemplateCurves = 15;
inline constexpr int kTemplateNodes = 100;   // phase k * 0.01
inline constexpr double kNodeWindow = 0.05;  // half width of a node's phase window
// Score of a type that the period or the amplitude does not admit (and of
// one whose curves never overlap the observed curve).
inline constexpr double kNoTypeScore = 1e13;
// A node of an observed or template curve without data.
inline constexpr float kEmptyNode = -1.0f;

struct TypeTemplate {
  char typeCode[16];    // standard abbreviation shown to the user
  float periodLow;      // days, exclusive
  float periodHigh;     // days, exclusive
  float amplitudeLow;   // magnitudes, exclusive
  float amplitudeHigh;  // magnitudes, exclusive
  int epochAtMinimum;   // 1: t0 is the epoch of minimum light, 0: of maximum
  int curveCount;       // curves used, at most kMaxTemplateCurves
  // Normalised brightness at phase k * 0.01 (1 maximum, 0 minimum light;
  // -1 a node without data). Curves beyond curveCount are zero.
  float curves[kMaxTemplateCurves][kTemplateNodes];
};

using TypeTemplateTable = std::array<TypeTemplate, kTypeCount>;

// The fixed header rows of the table, in table order.
struct TypeHeader {
  const char* typeCode;
  float periodLow, periodHigh, amplitudeLow, amplitudeHigh;
  int epochAtMinimum;
  int curveCount;
};
inline constexpr std::array<TypeHeader, kTypeCount> kTypeHeaders{{
    {"DCEP", 1.0f, 135.0f, 0.03f, 2.0f, 0, 15},
    {"DSCT", 0.01f, 0.23f, 0.003f, 1.5f, 0, 9},
    {"RRAB", 0.2f, 1.2f, 0.2f, 2.5f, 0, 8},
    {"RRC", 0.2f, 0.8f, 0.01f, 1.0f, 0, 4},
    {"MIRA", 80.0f, 1200.0f, 1.5f, 15.0f, 0, 9},
    {"EW", 0.1f, 150.0f, 0.0f, 1.5f, 1, 9},
    {"EB", 0.3f, 150.0f, 0.0f, 3.0f, 1, 11},
    {"EA", 0.4f, 150.0f, 0.0f, 10.0f, 1, 9},
}};

// The built-in templates (generated from real light curves by
// tools/make_templates.cpp into model/type_templates_data.cpp), and the
// source of every curve: the light-curve file relative to the real-data
// folder, "" beyond curveCount.
extern const TypeTemplateTable typeTemplates;
extern const std::array<std::array<const char*, kMaxTemplateCurves>, kTypeCount>
    typeTemplateSources;

// Calls visit(i, k) for every point i and node k with
// |phase[i] + 0.5 - k * 0.01| < 0.05 (the node windows of the observed and
// template curves; not wrapped), points in array order, so that per-node sums
// add their points in array order. Each point reaches at most 11 nodes.
template <class Visit>
void forEachNodeWindow(std::span<const double> phase, Visit&& visit) {
  for (std::size_t i = 0; i < phase.size(); ++i) {
    const double u = phase[i] + 0.5;
    if (!(u > -0.06 && u < 1.06)) continue;  // also skips nan
    const int centre = static_cast<int>(u * 100.0);
    const int first = centre - 6 < 0 ? 0 : centre - 6;
    const int last = centre + 6 > kTemplateNodes - 1 ? kTemplateNodes - 1 : centre + 6;
    for (int k = first; k <= last; ++k)
      if (u - k * 0.01 < kNodeWindow && u - k * 0.01 > -kNodeWindow) visit(i, k);
  }
}

// The observed curve of the classification: node k averages phasedValue over
// the phases within 0.05 of k * 0.01 - 0.5 (one-sided at the ends) and is
// normalised as 1 - (mean - magAtMaximum) / amplitude; -1 for nodes without
// points, and for every node when the amplitude is not positive or the
// magnitude at maximum is not available (no division by zero).
std::array<double, kTemplateNodes> observedCurve(const Workspace& ws);

// Smallest mean absolute difference between `observed` and any cyclic shift
// of `curve`, over the nodes where neither is -1; a shift with no such node
// does not count. kNoTypeScore when no shift counts.
double bestCurveScore(const std::array<double, kTemplateNodes>& observed,
                      const float (&curve)[kTemplateNodes]);

// Classifies the light curve from its current phases and the last fit:
// fills typeScore, typeOrder, typeText, scoreText and t0FromMinimum, sets t0
// to the epoch of minimum (eclipsing types) or maximum light, and writes the
// "Max mag:", "Amplitude", "T0:" (label and field), "Type:" and "Score:"
// texts of the results panel.
void classifyVariability(Workspace& ws);

// The score of every type from its template curves alone, the period and
// amplitude ranges aside (for a star that no type's ranges admit); the
// phases and the fit of the Workspace as classifyVariability uses them.
std::array<double, kTypeCount> templateScores(const Workspace& ws);

// The same against another table (for instance the built-in one without the
// curve made from the star being classified).
void classifyVariability(Workspace& ws, const TypeTemplateTable& table);

// A copy of `table` without the curves whose source is `source` (later
// curves move up, curveCount shrinks).
TypeTemplateTable tableWithoutSource(
    const TypeTemplateTable& table,
    const std::array<std::array<const char*, kMaxTemplateCurves>, kTypeCount>& sources,
    std::string_view source);

}  // namespace fazorn
