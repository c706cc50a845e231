#include "model/frequency_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace fazorn {

namespace {

std::string term(int multiplier, int index, bool first) {
  std::string s;
  if (multiplier < 0)
    s = "-";
  else if (!first)
    s = "+";
  const int a = std::abs(multiplier);
  if (a != 1) s += std::to_string(a);
  return s + "f" + std::to_string(index + 1);
}

// "%.17g" with the decimal point whatever the locale (LC_NUMERIC is "C").
std::string num(double x) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

}  // namespace

std::string combinationText(const Combination& c) {
  if (!c.valid()) return "-";
  std::string s = term(c.n, c.i, true);
  if (c.j >= 0 && c.m != 0) s += term(c.m, c.j, false);
  return s;
}

std::optional<Combination> parseCombination(const std::string& text) {
  std::vector<std::pair<int, int>> parts;  // (multiplier, index)
  std::size_t p = 0;
  auto skip = [&] {
    while (p < text.size() && text[p] == ' ') ++p;
  };
  skip();
  while (p < text.size()) {
    int sign = 1;
    if (text[p] == '+' || text[p] == '-') {
      sign = text[p] == '-' ? -1 : 1;
      ++p;
      skip();
    } else if (!parts.empty()) {
      return std::nullopt;
    }
    int mult = 0;
    bool digits = false;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9' && mult < 1000) {
      mult = mult * 10 + (text[p++] - '0');
      digits = true;
    }
    if (!digits) mult = 1;
    if (p >= text.size() || text[p] != 'f') return std::nullopt;
    ++p;
    int index = 0;
    digits = false;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9' && index < 100000) {
      index = index * 10 + (text[p++] - '0');
      digits = true;
    }
    if (!digits || index < 1 || mult == 0) return std::nullopt;
    parts.emplace_back(sign * mult, index - 1);
    skip();
  }
  if (parts.empty() || parts.size() > 2) return std::nullopt;
  Combination c;
  c.n = parts[0].first;
  c.i = parts[0].second;
  if (parts.size() == 2) {
    if (parts[1].second == c.i) return std::nullopt;
    c.m = parts[1].first;
    c.j = parts[1].second;
  } else if (c.n == 1) {
    return std::nullopt;  // "f1" is the frequency itself, not a relation
  }
  return c;
}

void FrequencyTable::remove(std::size_t k) {
  if (k >= terms.size()) return;
  terms.erase(terms.begin() + static_cast<std::ptrdiff_t>(k));
  const int ki = static_cast<int>(k);
  for (auto& t : terms) {
    Combination& c = t.combination;
    if (!c.valid()) continue;
    if (c.i == ki || c.j == ki) {
      c = Combination{};
      t.fixedToCombination = false;
      continue;
    }
    if (c.i > ki) --c.i;
    if (c.j > ki) --c.j;
  }
}

void FrequencyTable::move(std::size_t from, std::size_t to) {
  if (from >= terms.size() || to >= terms.size() || from == to) return;
  const int f = static_cast<int>(from), t = static_cast<int>(to);
  // The new index of the term at old index i.
  auto renumber = [&](int i) {
    if (i < 0) return i;
    if (i == f) return t;
    if (f < t && i > f && i <= t) return i - 1;
    if (t < f && i >= t && i < f) return i + 1;
    return i;
  };
  for (auto& term : terms) {
    Combination& c = term.combination;
    if (!c.valid()) continue;
    c.i = renumber(c.i);
    c.j = renumber(c.j);
  }
  const FrequencyTerm moved = terms[from];
  terms.erase(terms.begin() + static_cast<std::ptrdiff_t>(from));
  terms.insert(terms.begin() + static_cast<std::ptrdiff_t>(to), moved);
}

double falseAlarmProbability(double snr, double independentFrequencies) {
  if (!(independentFrequencies > 0.0) || !std::isfinite(snr) ||
      !std::isfinite(independentFrequencies))
    return std::numeric_limits<double>::quiet_NaN();
  if (!(snr > 0.0)) return 1.0;
  // 1 - (1 - p)^M without the cancellation of 1 - p for p near 0.
  const double p = std::exp(-0.25 * M_PI * snr * snr);
  return -std::expm1(std::max(independentFrequencies, 1.0) * std::log1p(-p));
}

double termFalseAlarmProbability(const FrequencyTable& table, std::size_t k) {
  if (k >= table.terms.size() || !(table.independentFrequencies > 0.0))
    return std::numeric_limits<double>::quiet_NaN();
  const FrequencyTerm& t = table.terms[k];
  const bool held = t.fixedToCombination && t.combination.valid();
  return falseAlarmProbability(t.snr, held ? 1.0 : table.independentFrequencies);
}

double snrOfFalseAlarm(double probability, double independentFrequencies) {
  if (!(probability > 0.0 && probability < 1.0) || !(independentFrequencies > 0.0) ||
      !std::isfinite(independentFrequencies))
    return std::numeric_limits<double>::quiet_NaN();
  const double p = -std::expm1(std::log1p(-probability) / std::max(independentFrequencies, 1.0));
  return std::sqrt(-4.0 / M_PI * std::log(p));
}

void labelCombinations(FrequencyTable& table, double tolerance, int maxHarmonic, int maxOrder) {
  auto& terms = table.terms;
  // The highest enabled frequency, up to which harmonics are sought.
  double highest = 0.0;
  for (const auto& t : terms)
    if (t.enabled) highest = std::max(highest, t.frequency);
  auto holds = [&](double f) {
    for (const auto& t : terms)
      if (t.enabled && std::abs(t.frequency - f) <= tolerance) return true;
    return false;
  };
  // The highest harmonic of f a comb in the table reaches (see the header).
  auto reach = [&](double f) {
    int top = maxHarmonic;
    if (!(f > 4.0 * tolerance)) return top;
    for (int n = maxHarmonic + 1; n * f <= highest + tolerance && n - top <= 2; ++n)
      if (holds(n * f)) top = n;
    return top;
  };
  for (std::size_t k = 0; k < terms.size(); ++k) {
    FrequencyTerm& t = terms[k];
    if (t.fixedToCombination) continue;
    t.combination = Combination{};
    if (!t.enabled) continue;
    Combination best;
    int bestOrder = std::numeric_limits<int>::max();
    double bestOffset = tolerance;
    auto consider = [&](const Combination& c, double f, int order) {
      const double off = std::abs(f - t.frequency);
      if (off > tolerance) return;
      if (order < bestOrder || (order == bestOrder && off < bestOffset)) {
        best = c, bestOrder = order, bestOffset = off;
      }
    };
    auto parent = [&](std::size_t i) {
      return terms[i].enabled && !terms[i].combination.valid() && !terms[i].fixedToCombination;
    };
    for (std::size_t i = 0; i < k; ++i) {
      if (!parent(i)) continue;
      const double fi = terms[i].frequency;
      const int top = reach(fi);
      for (int n = 2; n <= top; ++n) consider({static_cast<int>(i), n, -1, 0}, n * fi, n);
      for (std::size_t j = i + 1; j < k; ++j) {
        if (!parent(j)) continue;
        const double fj = terms[j].frequency;
        for (int n = -maxOrder; n <= maxOrder; ++n)
          for (int m = -maxOrder; m <= maxOrder; ++m) {
            if (n == 0 || m == 0) continue;
            const double f = n * fi + m * fj;
            if (!(f > 0.0)) continue;
            // Write the larger coefficient's sign positive first: f2-f1
            // rather than -f1+f2.
            Combination c = n > 0 ? Combination{static_cast<int>(i), n, static_cast<int>(j), m}
                                  : Combination{static_cast<int>(j), m, static_cast<int>(i), n};
            consider(c, f, std::abs(n) + std::abs(m));
          }
      }
    }
    t.combination = best;
  }
}

std::string formatFrequencyTable(const FrequencyTable& table) {
  std::ostringstream o;
  o << "# frequency table: y = zero_point + sum A sin(2 pi (f (t - epoch) + phi))\n";
  o << "# f in cycles/day, A in the units of the values, phi in cycles; sigma_*"
       " least squares, mo_sigma_* Montgomery & O'Donoghue (1999)\n";
  o << "# epoch " << num(table.epoch) << "\n";
  o << "# zero_point " << num(table.zeroPoint) << "\n";
  o << "# points " << table.points << "\n";
  o << "# time_span " << num(table.timeSpan) << "\n";
  o << "# residual_rms " << num(table.residualRms) << "\n";
  if (table.independentFrequencies > 0.0)
    o << "# independent_frequencies " << num(table.independentFrequencies) << "\n";
  o << "# name frequency amplitude phase sigma_f sigma_A sigma_phi mo_sigma_f mo_sigma_A"
       " mo_sigma_phi snr enabled relation\n";
  for (std::size_t k = 0; k < table.terms.size(); ++k) {
    const auto& t = table.terms[k];
    std::string rel = combinationText(t.combination);
    if (t.fixedToCombination && t.combination.valid()) rel = "=" + rel;
    o << "f" << (k + 1) << ' ' << num(t.frequency) << ' ' << num(t.amplitude) << ' ' << num(t.phase)
      << ' ' << num(t.frequencyError) << ' ' << num(t.amplitudeError) << ' ' << num(t.phaseError)
      << ' ' << num(t.frequencyErrorMO) << ' ' << num(t.amplitudeErrorMO) << ' '
      << num(t.phaseErrorMO) << ' ' << num(t.snr) << ' ' << (t.enabled ? 1 : 0) << ' ' << rel
      << "\n";
  }
  return o.str();
}

namespace {

bool parseDouble(const std::string& s, double& out) {
  if (s == "nan" || s == "-nan") {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  char* end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return !s.empty() && end == s.c_str() + s.size();
}

}  // namespace

std::optional<FrequencyTable> parseFrequencyTable(const std::string& text, std::string* error) {
  FrequencyTable table;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  auto fail = [&](const std::string& why) -> std::optional<FrequencyTable> {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
    return std::nullopt;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream ls(line);
    std::string first;
    if (!(ls >> first)) continue;
    if (first[0] == '#') {
      std::string key, value;
      if (first.size() > 1) {
        key = first.substr(1);
      } else if (!(ls >> key)) {
        continue;
      }
      if (!(ls >> value)) continue;
      double v = 0.0;
      if (key == "epoch" || key == "zero_point" || key == "points" || key == "time_span" ||
          key == "residual_rms" || key == "independent_frequencies") {
        if (!parseDouble(value, v)) return fail("bad number for " + key);
        if (key == "epoch") table.epoch = v;
        if (key == "zero_point") table.zeroPoint = v;
        if (key == "points") table.points = static_cast<int>(v);
        if (key == "time_span") table.timeSpan = v;
        if (key == "residual_rms") table.residualRms = v;
        if (key == "independent_frequencies") table.independentFrequencies = v;
      }
      continue;
    }
    std::vector<std::string> f{first};
    for (std::string w; ls >> w;) f.push_back(w);
    if (f.size() != 13) return fail("expected 13 columns, found " + std::to_string(f.size()));
    FrequencyTerm t;
    double* fields[] = {&t.frequency,
                        &t.amplitude,
                        &t.phase,
                        &t.frequencyError,
                        &t.amplitudeError,
                        &t.phaseError,
                        &t.frequencyErrorMO,
                        &t.amplitudeErrorMO,
                        &t.phaseErrorMO,
                        &t.snr};
    for (int c = 0; c < 10; ++c)
      if (!parseDouble(f[static_cast<std::size_t>(c + 1)], *fields[c]))
        return fail("bad number '" + f[static_cast<std::size_t>(c + 1)] + "'");
    if (!std::isfinite(t.frequency) || !(t.frequency >= 0.0) || !std::isfinite(t.amplitude) ||
        !std::isfinite(t.phase))
      return fail("frequency, amplitude and phase must be finite (frequency >= 0)");
    if (f[11] != "0" && f[11] != "1") return fail("enabled must be 0 or 1");
    t.enabled = f[11] == "1";
    std::string rel = f[12];
    if (rel != "-") {
      if (rel[0] == '=') {
        t.fixedToCombination = true;
        rel = rel.substr(1);
      }
      auto c = parseCombination(rel);
      if (!c) return fail("bad relation '" + f[12] + "'");
      t.combination = *c;
    }
    table.terms.push_back(t);
  }
  const int n = static_cast<int>(table.terms.size());
  for (std::size_t k = 0; k < table.terms.size(); ++k) {
    const Combination& c = table.terms[k].combination;
    if (!c.valid()) continue;
    if (c.i >= n || c.j >= n || c.i == static_cast<int>(k) || c.j == static_cast<int>(k)) {
      if (error) *error = "f" + std::to_string(k + 1) + ": relation to a missing term";
      return std::nullopt;
    }
  }
  return table;
}

}  // namespace fazorn
