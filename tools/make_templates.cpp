// Builds the built-in template table from the real light curves:
//
//   fazorn_make_templates <real-data-dir> <generated.cpp> <README.md>
//       fits every catalogued star of the eight types at its catalogued
//       period, captures its curve with "Add as a template", chooses the
//       curves of each type and writes the table and the list of sources.
//       Only survey releases (SDSS, OGLE, Catalina) become templates.
//   fazorn_make_templates --evaluate <real-data-dir>
//       classifies every catalogued star at its catalogued period against the
//       built-in table without the curve made from that star, and prints per
//       type the share whose type is shown first and the share where it is
//       among the types shown.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/number_format.h"
#include "core/statistics.h"
#include "tools/template_builder.h"

namespace fs = std::filesystem;
using namespace fazorn;
using namespace fazorn::tools;

namespace {

struct Candidate {
  CatalogEntry entry;
  std::array<float, kTemplateNodes> curve{};
  int emptyNodes = 0;
};

int evaluate(const fs::path& dir, bool verbose) {
  std::vector<Classified> stars;
  const std::vector<TypeQuality> q = evaluateLeaveOneOut(dir, &stars);
  if (verbose)
    for (const Classified& c : stars)
      if (c.typeText.rfind(c.entry.type + "/", 0) != 0 && c.typeText != c.entry.type)
        std::printf("%-50s %-5s P=%-12.8g shown %s\n", c.entry.file.c_str(), c.entry.type.c_str(),
                    c.entry.period, c.typeText.c_str());
  std::printf("%-5s %6s %12s %12s\n", "type", "stars", "first right", "among shown");
  for (const TypeQuality& t : q) {
    if (t.stars == 0) continue;
    std::printf("%-5s %6d %5d %5.1f%% %5d %5.1f%%\n", t.type.c_str(), t.stars, t.firstRight,
                100.0 * t.firstRight / t.stars, t.listed, 100.0 * t.listed / t.stars);
  }
  return 0;
}

// The starting choice of each type: complete phase coverage first, then the
// cleanest fold (smallest theta), then the most points; the file name breaks
// ties so that the choice never depends on the catalogue's order.
void sortCandidates(std::vector<std::vector<Candidate>>& byType) {
  for (auto& c : byType)
    std::sort(c.begin(), c.end(), [](const Candidate& a, const Candidate& b) {
      if ((a.emptyNodes == 0) != (b.emptyNodes == 0)) return a.emptyNodes == 0;
      if (a.entry.theta != b.entry.theta) return a.entry.theta < b.entry.theta;
      if (a.entry.points != b.entry.points) return a.entry.points > b.entry.points;
      return a.entry.file < b.entry.file;
    });
}

struct Star {
  CatalogEntry entry;
  int type = -1;
  std::array<bool, kTypeCount> admitted{};
  std::vector<double> score;  // against every candidate, kNoTypeScore if not admitted
  int own = -1;               // the candidate made from this star, or -1
};

// Number of stars whose type comes first, and of those whose type is listed,
// when each star is classified by the chosen candidates less its own.
std::pair<int, int> recognised(const std::vector<Star>& stars,
                               const std::vector<std::vector<int>>& chosen) {
  int first = 0;
  int listed = 0;
  std::array<double, kTypeCount> score{};
  std::array<int, kTypeCount> order{};
  for (const Star& star : stars) {
    for (int s = 0; s < kTypeCount; ++s) {
      score[s] = kNoTypeScore;
      if (!star.admitted[s]) continue;
      for (int c : chosen[s])
        if (c != star.own) score[s] = std::min(score[s], star.score[c]);
    }
    indexSort(score, order);
    if (order[0] == star.type) ++first;
    for (int i = 0; i < kTypeCount; ++i)
      if (order[i] == star.type && (i == 0 || 1.15 * score[order[0]] >= score[order[i]])) ++listed;
  }
  return {first, listed};
}

// Hill climb over single swaps (a chosen curve of a type for an unchosen one
// of the same type), in a fixed order, keeping a swap only when more stars
// are recognised first (or as many first and more among the types shown).
std::vector<std::vector<int>> optimise(const std::vector<Star>& stars,
                                       const std::vector<std::vector<int>>& candidatesOfType,
                                       std::vector<std::vector<int>> chosen) {
  std::pair<int, int> best = recognised(stars, chosen);
  for (int sweep = 0; sweep < 6; ++sweep) {
    bool improved = false;
    for (int s = 0; s < kTypeCount; ++s) {
      for (std::size_t slot = 0; slot < chosen[s].size(); ++slot) {
        for (int c : candidatesOfType[s]) {
          if (std::find(chosen[s].begin(), chosen[s].end(), c) != chosen[s].end()) continue;
          const int previous = chosen[s][slot];
          chosen[s][slot] = c;
          const std::pair<int, int> now = recognised(stars, chosen);
          if (now > best) {
            best = now;
            improved = true;
          } else {
            chosen[s][slot] = previous;
          }
        }
      }
    }
    std::fprintf(stderr, "sweep %d: %d first, %d shown of %zu\n", sweep + 1, best.first,
                 best.second, stars.size());
    if (!improved) break;
  }
  return chosen;
}

std::string floatLiteral(float v) { return formatPrintf("%.4ff", static_cast<double>(v)); }

// A header bound as a float literal ("1.0f", "0.003f").
std::string boundLiteral(float v) {
  std::string text = formatPrintf("%g", static_cast<double>(v));
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text + "f";
}

bool writeTable(const fs::path& out, const std::vector<std::vector<Candidate>>& chosen) {
  std::FILE* f = std::fopen(out.string().c_str(), "w");
  if (f == nullptr) return false;
  std::fprintf(
      f,
      "// Generated by tools/make_templates.cpp (target fazorn_make_templates) from the\n"
      "// real light curves in data/real; do not edit. Sources: model/templates/README.md.\n"
      "// clang-format off\n"
      "#include \"model/classification.h\"\n\nnamespace fazorn {\n\n"
      "const TypeTemplateTable typeTemplates{{\n");
  for (int s = 0; s < kTypeCount; ++s) {
    const TypeHeader& h = kTypeHeaders[s];
    std::fprintf(f, "    {\"%s\", %s, %s, %s, %s, %d, %d, {\n", h.typeCode,
                 boundLiteral(h.periodLow).c_str(), boundLiteral(h.periodHigh).c_str(),
                 boundLiteral(h.amplitudeLow).c_str(), boundLiteral(h.amplitudeHigh).c_str(),
                 h.epochAtMinimum, static_cast<int>(chosen[s].size()));
    for (const Candidate& c : chosen[s]) {
      std::fprintf(f, "        // %s\n        {", c.entry.file.c_str());
      for (int k = 0; k < kTemplateNodes; ++k)
        std::fprintf(f, "%s%s", k == 0 ? "" : (k % 10 == 0 ? ",\n         " : ", "),
                     floatLiteral(c.curve[k]).c_str());
      std::fprintf(f, "},\n");
    }
    std::fprintf(f, "    }},\n");
  }
  std::fprintf(f,
               "}};\n\nconst std::array<std::array<const char*, kMaxTemplateCurves>, kTypeCount>\n"
               "    typeTemplateSources{{\n");
  for (int s = 0; s < kTypeCount; ++s) {
    std::fprintf(f, "        {{");
    for (std::size_t c = 0; c < chosen[s].size(); ++c)
      std::fprintf(f, "%s\"%s\"", c == 0 ? "" : ", ", chosen[s][c].entry.file.c_str());
    std::fprintf(f, "}},\n");
  }
  std::fprintf(f, "    }};\n\n}  // namespace fazorn\n");
  return std::fclose(f) == 0;
}

bool writeReadme(const fs::path& out, const std::vector<std::vector<Candidate>>& chosen) {
  std::FILE* f = std::fopen(out.string().c_str(), "w");
  if (f == nullptr) return false;
  std::fprintf(f,
               "# Built-in template curves\n\n"
               "Generated by `tools/make_templates.cpp` (CMake target `fazorn_make_templates`,\n"
               "not built by default) together with `model/type_templates_data.cpp`; do not\n"
               "edit by hand. To rebuild both:\n\n"
               "    cmake --build build/dev --target fazorn_make_templates\n"
               "    build/dev/tools/fazorn_make_templates data/real model/type_templates_data.cpp "
               "model/templates/README.md\n\n"
               "After rebuilding, `fazorn_make_templates --evaluate data/real` (or `--misses`)\n"
               "classifies every catalogued star without its own curve and prints the share\n"
               "per type whose catalogued type is shown first and among the types shown; the\n"
               "test `ClassificationQuality` checks the same figures.\n\n"
               "Every curve is a real star of `data/real` (see `data/real/README.md` for the\n"
               "surveys, their references and acknowledgements), fitted by the program's own\n"
               "model at the catalogued period, phased on its epoch of maximum light (minimum\n"
               "light for EW, EB and EA) and captured with \"Add as a template\": 100 nodes,\n"
               "1 at maximum and 0 at minimum light, -1 where no observation falls within\n"
               "0.05 in phase. No curve comes from published Fourier parameters: every type\n"
               "has enough real stars in `data/real`.\n\n"
               "Only light curves from the public survey releases (SDSS Stripe 82, OGLE,\n"
               "Catalina) are used, not the copies that other repositories put under their\n"
               "own licence. Choice: starting from the curves with every node covered, the\n"
               "cleanest folds (the catalogue's theta figure) and the most points, a\n"
               "deterministic hill climb swaps curves within a type while that raises the\n"
               "number of catalogued stars (each classified without its own curve) whose\n"
               "type is shown first. The stars that choose the curves are the stars the\n"
               "quality check classifies, so its figures are somewhat optimistic.\n\n"
               "Acknowledgements: SDSS Stripe 82 RR Lyrae of Sesar et al. 2010, ApJ 708, 717;\n"
               "OGLE Collection of Variable Stars (Soszynski et al. 2015, AcA 65, 297;\n"
               "Udalski et al. 2015, AcA 65, 1); Catalina Surveys Southern periodic variables\n"
               "(Drake et al. 2017, MNRAS 469, 3688), CSS/CRTS.\n\n"
               "| type | curve | star (file in data/real) | band | period (d) | points | theta | "
               "empty nodes |\n|---|---:|---|---|---:|---:|---:|---:|\n");
  for (int s = 0; s < kTypeCount; ++s) {
    for (std::size_t c = 0; c < chosen[s].size(); ++c) {
      const Candidate& k = chosen[s][c];
      std::fprintf(f, "| %s | %zu | %s | %s | %.9g | %d | %.2f | %d |\n", kTypeHeaders[s].typeCode,
                   c + 1, k.entry.file.c_str(), k.entry.band.c_str(), k.entry.period,
                   k.entry.points, k.entry.theta, k.emptyNodes);
    }
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--evaluate") return evaluate(argv[2], false);
  if (argc == 3 && std::string(argv[1]) == "--misses") return evaluate(argv[2], true);
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: %s <real-data-dir> <generated.cpp> <README.md>\n"
                 "       %s --evaluate <real-data-dir>\n"
                 "       %s --misses <real-data-dir>   (also lists the stars not shown first)\n",
                 argv[0], argv[0], argv[0]);
    return 2;
  }
  const fs::path dir = argv[1];
  const std::vector<CatalogEntry> catalog = readCatalog(dir);
  if (catalog.empty()) {
    std::fprintf(stderr, "no catalogue in %s\n", dir.string().c_str());
    return 1;
  }
  const fs::path scratch = fs::temp_directory_path() / "fazorn-make-templates.dat";
  std::vector<std::vector<Candidate>> byType(kTypeCount);
  for (const CatalogEntry& e : catalog) {
    const int s = typeIndex(e.type);
    if (s < 0 || !fromSurveyRelease(e)) continue;
    const auto curve =
        makeTemplateCurve(dir / e.file, e.period, kTypeHeaders[s].epochAtMinimum, scratch);
    if (!curve) continue;
    Candidate c{e, *curve, 0};
    c.emptyNodes = static_cast<int>(std::count(curve->begin(), curve->end(), kEmptyNode));
    byType[s].push_back(c);
  }
  fs::remove(scratch);
  sortCandidates(byType);

  // Every candidate in one list; every catalogued star scored against each.
  std::vector<const Candidate*> all;
  std::vector<std::vector<int>> candidatesOfType(kTypeCount), start(kTypeCount);
  for (int s = 0; s < kTypeCount; ++s) {
    for (std::size_t i = 0; i < byType[s].size(); ++i) {
      if (static_cast<int>(i) < kTypeHeaders[s].curveCount)
        start[s].push_back(static_cast<int>(all.size()));
      candidatesOfType[s].push_back(static_cast<int>(all.size()));
      all.push_back(&byType[s][i]);
    }
  }
  std::vector<Star> stars;
  for (const CatalogEntry& e : catalog) {
    const int type = typeIndex(e.type);
    if (type < 0) continue;
    const auto seen = observeAtPeriod(dir / e.file, e.period);
    if (!seen) continue;
    Star star{e, type, {}, std::vector<double>(all.size(), kNoTypeScore), -1};
    for (int s = 0; s < kTypeCount; ++s) {
      const TypeHeader& h = kTypeHeaders[s];
      star.admitted[s] = e.period > h.periodLow && e.period < h.periodHigh &&
                         seen->amplitude > h.amplitudeLow && seen->amplitude < h.amplitudeHigh;
    }
    for (std::size_t c = 0; c < all.size(); ++c) {
      if (all[c]->entry.file == e.file) star.own = static_cast<int>(c);
      const int ct = typeIndex(all[c]->entry.type);
      if (!star.admitted[ct]) continue;
      float curve[kTemplateNodes];
      std::copy(all[c]->curve.begin(), all[c]->curve.end(), curve);
      star.score[c] = bestCurveScore(seen->curve, curve);
    }
    stars.push_back(std::move(star));
  }
  const std::vector<std::vector<int>> picked = optimise(stars, candidatesOfType, start);
  std::vector<std::vector<Candidate>> chosen(kTypeCount);
  for (int s = 0; s < kTypeCount; ++s) {
    std::vector<int> order = picked[s];
    std::sort(order.begin(), order.end());  // keep the starting (cleanest-first) order
    for (int c : order) chosen[s].push_back(*all[c]);
  }
  for (int s = 0; s < kTypeCount; ++s)
    if (static_cast<int>(chosen[s].size()) < kTypeHeaders[s].curveCount)
      std::fprintf(stderr, "%s: only %zu curves\n", kTypeHeaders[s].typeCode, chosen[s].size());
  if (!writeTable(argv[2], chosen) || !writeReadme(argv[3], chosen)) {
    std::fprintf(stderr, "cannot write the outputs\n");
    return 1;
  }
  return 0;
}
