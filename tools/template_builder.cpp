#include "tools/template_builder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "commands/model_chain.h"
#include "core/observation_file.h"
#include "core/workspace.h"
#include "model/phased_model.h"

namespace fazorn::tools {

namespace {

std::vector<std::string> splitCsvLine(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

bool loadAt(Workspace& ws, const std::filesystem::path& dataFile, double period) {
  const Outcome loaded = loadObservations(ws, dataFile.string());
  if (!loaded.ok || ws.lightCurve.pointCount < 1) return false;
  ws.period = period;
  ws.t0 = 0.0;
  computePhases(ws);
  return true;
}

}  // namespace

std::vector<CatalogEntry> readCatalog(const std::filesystem::path& dir) {
  std::vector<CatalogEntry> out;
  std::ifstream in(dir / "catalog.csv");
  std::string line;
  if (!std::getline(in, line)) return out;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = splitCsvLine(line);
    if (f.size() < 9) continue;
    CatalogEntry e;
    e.file = f[0];
    e.type = f[1];
    e.period = std::strtod(f[2].c_str(), nullptr);
    e.points = std::atoi(f[6].c_str());
    e.band = f[7];
    e.sourceRepo = f[3];
    const std::size_t t = f[8].find("theta(P)=");
    if (t != std::string::npos) e.theta = std::strtod(f[8].c_str() + t + 9, nullptr);
    out.push_back(e);
  }
  return out;
}

bool fromSurveyRelease(const CatalogEntry& e) {
  return e.sourceRepo == "light-curve/test-data" ||
         e.sourceRepo == "conyml/Proyecto-Estrellas-Variables" ||
         e.sourceRepo == "aibsen/Light-Curve-Classification";
}

int typeIndex(const std::string& code) {
  for (int s = 0; s < kTypeCount; ++s)
    if (code == kTypeHeaders[s].typeCode) return s;
  return -1;
}

std::optional<std::array<float, kTemplateNodes>> makeTemplateCurve(
    const std::filesystem::path& dataFile, double period, int epochAtMinimum,
    const std::filesystem::path& scratchFile) {
  Workspace ws;
  if (!loadAt(ws, dataFile, period)) return std::nullopt;
  fitPhasedLightCurve(ws);
  if (!ws.magAtMaximumValid || !(ws.amplitude > 0.0)) return std::nullopt;
  ws.t0 = epochAtMinimum == 1 ? ws.epochOfMinimum : ws.epochOfMaximum;
  computePhases(ws);
  if (!addAsTemplate(ws, scratchFile.string()).ok) return std::nullopt;
  std::array<float, kTemplateNodes> curve{};
  std::ifstream in(scratchFile);
  for (float& v : curve)
    if (!(in >> v)) return std::nullopt;
  return curve;
}

std::optional<Observation> observeAtPeriod(const std::filesystem::path& dataFile, double period) {
  Workspace ws;
  if (!loadAt(ws, dataFile, period)) return std::nullopt;
  fitPhasedLightCurve(ws);
  return Observation{observedCurve(ws), ws.amplitude};
}

std::string classifyAtPeriod(const std::filesystem::path& dataFile, double period,
                             const TypeTemplateTable& table) {
  Workspace ws;
  if (!loadAt(ws, dataFile, period)) return "";
  runModelChain(ws, table);
  return ws.typeText;
}

std::vector<TypeQuality> evaluateLeaveOneOut(const std::filesystem::path& dir,
                                             std::vector<Classified>* stars) {
  std::vector<TypeQuality> q(kTypeCount + 1);
  for (int s = 0; s < kTypeCount; ++s) q[s].type = kTypeHeaders[s].typeCode;
  q[kTypeCount].type = "all";
  for (const CatalogEntry& e : readCatalog(dir)) {
    const int s = typeIndex(e.type);
    if (s < 0) continue;
    const TypeTemplateTable table = tableWithoutSource(typeTemplates, typeTemplateSources, e.file);
    const std::string text = classifyAtPeriod(dir / e.file, e.period, table);
    std::vector<std::string> shown;
    std::stringstream ss(text);
    for (std::string code; std::getline(ss, code, '/');) shown.push_back(code);
    if (stars != nullptr) stars->push_back({e, text});
    const bool first = !shown.empty() && shown.front() == e.type;
    bool listed = false;
    for (const std::string& c : shown) listed = listed || c == e.type;
    for (TypeQuality* t : {&q[s], &q[kTypeCount]}) {
      ++t->stars;
      t->firstRight += first ? 1 : 0;
      t->listed += listed ? 1 : 0;
    }
  }
  return q;
}

}  // namespace fazorn::tools
