// fazorn-cli frequencies: the prewhitening cascade of each file and its
// frequency table.
#include <cstdio>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "commands/frequencies.h"
#include "core/observation_file.h"
#include "core/text_file.h"
#include "core/workspace.h"

namespace fazorn::cli {

const char* const kFrequenciesHelp =
    "  frequencies [--snr S] [--noise-window W] [--max-count N] [--max-frequency F]\n"
    "              [--min-frequency F] [--weights] [--stop-at-errors]\n"
    "              [--max-fap P] [--free-harmonics] [--json] [--residuals FILE] FILE...\n"
    "      Prewhitening: takes the highest peak of the residual amplitude\n"
    "      spectrum, fits all frequencies, amplitudes and phases together and\n"
    "      repeats until the next peak's S/N (amplitude over the mean residual\n"
    "      amplitude within W/2 of it) is below S (default 4, W 2 c/d) or N\n"
    "      frequencies are found (default 50). F in cycles/day; the maximum\n"
    "      defaults to the Nyquist frequency of the median sampling interval\n"
    "      or of a shorter interval that a quarter of the intervals repeat\n"
    "      within 1 % (a scanning satellite's fields of view), the minimum to\n"
    "      1/T. Model: zero point + sum A sin(2 pi (f (t - epoch) + phi)),\n"
    "      phi in cycles. Errors: least squares (sigma) and Montgomery &\n"
    "      O'Donoghue 1999 (mo_sigma). Harmonics and combinations\n"
    "      within 1/T of n fi +- m fj are labelled; a harmonic n f of a\n"
    "      frequency in the table is held at n f (relation \"=nf1\" in the\n"
    "      text, key fixed in JSON) unless an F test at 0.1 % refuses it, f is\n"
    "      named before its multiples, and the missing harmonics up to twice\n"
    "      the highest are added as a group when an F test at 0.1 % finds\n"
    "      them significant (an eclipsing binary's comb); --free-harmonics\n"
    "      keeps every frequency free instead. --weights fits with\n"
    "      1/error^2. --stop-at-errors ends once the residuals are below the\n"
    "      stated errors. --residuals writes time, residual, error (one FILE).\n"
    "      FAP: the false-alarm probability of each S/N as the highest peak of\n"
    "      white noise over the M = (F_max - F_min) T independent frequencies\n"
    "      searched, 1 - (1 - exp(-pi S/N^2 / 4))^M (M = 1 for a frequency\n"
    "      held at a harmonic); --max-fap P (0 < P < 1)\n"
    "      also ends the cascade at a peak whose FAP is above P.\n"
    "      --json   one object per file and line: file, points, time_span,\n"
    "               epoch, zero_point, residual_rms, stop_reason, frequencies\n"
    "               (a list of objects: name, frequency, amplitude, phase,\n"
    "               sigma_frequency, sigma_amplitude, sigma_phase,\n"
    "               mo_sigma_frequency, mo_sigma_amplitude, mo_sigma_phase,\n"
    "               snr, relation, fixed, fap), independent_frequencies\n";

namespace {

std::string tableJson(const std::string& file, const PrewhiteningResult& r) {
  const FrequencyTable& t = r.table;
  std::string list = "[";
  for (std::size_t k = 0; k < t.terms.size(); ++k) {
    const auto& f = t.terms[k];
    JsonObject o;
    o.add("name", "f" + std::to_string(k + 1))
        .add("frequency", f.frequency)
        .add("amplitude", f.amplitude)
        .add("phase", f.phase)
        .add("sigma_frequency", f.frequencyError)
        .add("sigma_amplitude", f.amplitudeError)
        .add("sigma_phase", f.phaseError)
        .add("mo_sigma_frequency", f.frequencyErrorMO)
        .add("mo_sigma_amplitude", f.amplitudeErrorMO)
        .add("mo_sigma_phase", f.phaseErrorMO)
        .add("snr", f.snr);
    if (f.combination.valid())
      o.add("relation", combinationText(f.combination));
    else
      o.addNull("relation");
    o.add("fixed", f.fixedToCombination && f.combination.valid());
    o.add("fap", termFalseAlarmProbability(t, k));
    if (k) list += ",";
    list += o.str();
  }
  list += "]";
  JsonObject o;
  o.add("file", file)
      .add("points", t.points)
      .add("time_span", t.timeSpan)
      .add("epoch", t.epoch)
      .add("zero_point", t.zeroPoint)
      .add("residual_rms", t.residualRms)
      .add("max_frequency", r.grid.maxFrequency)
      .add("stop_reason", r.stopReason)
      .add("independent_frequencies", t.independentFrequencies)
      .addRaw("frequencies", list);
  return o.str();
}

void printTable(const std::string& file, const PrewhiteningResult& r) {
  const FrequencyTable& t = r.table;
  std::printf("%s\n", file.c_str());
  std::printf("  Points %d, time span %.6f d, resolution 1/T %.6f c/d, up to %.4f c/d\n", t.points,
              t.timeSpan, t.timeSpan > 0 ? 1.0 / t.timeSpan : 0.0, r.grid.maxFrequency);
  std::printf("  Epoch %.6f, zero point %.6g, residual rms %.6g\n", t.epoch, t.zeroPoint,
              t.residualRms);
  std::printf("  %-5s %14s %10s %12s %10s %8s %10s %6s %8s  %s\n", "name", "freq(c/d)", "sigma",
              "amplitude", "sigma", "phase", "sigma", "S/N", "FAP", "relation");
  for (std::size_t k = 0; k < t.terms.size(); ++k) {
    const auto& f = t.terms[k];
    std::string relation;
    if (f.combination.valid())
      relation = (f.fixedToCombination ? "=" : "") + combinationText(f.combination);
    std::printf("  f%-4zu %14.8f %10.2e %12.6g %10.2e %8.5f %10.2e %6.1f %8.2g  %s\n", k + 1,
                f.frequency, f.frequencyError, f.amplitude, f.amplitudeError, f.phase, f.phaseError,
                f.snr, termFalseAlarmProbability(t, k), relation.c_str());
  }
  std::printf("  FAP: as the highest of %.0f independent frequencies of white noise\n",
              t.independentFrequencies);
  std::printf("  Stopped: %s\n", r.stopReason.c_str());
}

}  // namespace

int runFrequencies(const Args& args) {
  bool json = false;
  PrewhiteningOptions options;
  std::string residualsPath;
  ImportOptions import;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* what) -> std::optional<std::string> {
      if (i + 1 >= args.size()) {
        usageError(std::string("frequencies: ") + a + " needs " + what);
        return std::nullopt;
      }
      return args[++i];
    };
    if (!optionsEnded && a == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && a == "--json") {
      json = true;
    } else if (!optionsEnded && a == "--stop-at-errors") {
      options.stopAtStatedErrors = true;
    } else if (!optionsEnded && a == "--free-harmonics") {
      options.harmonicSeries = false;
    } else if (!optionsEnded && a == "--weights") {
      options.fit.useWeights = true;
    } else if (!optionsEnded && (a == "--snr" || a == "--noise-window" || a == "--max-frequency" ||
                                 a == "--min-frequency")) {
      auto v = value("a number");
      if (!v) return kExitUsage;
      auto x = parseNumber(*v);
      if (!x || *x < 0.0 || (a == "--noise-window" && *x <= 0.0))
        return usageError("frequencies: " + a + " needs a number >= 0 (> 0 for a window), not '" +
                          *v + "'");
      if (a == "--snr") options.snrLimit = *x;
      if (a == "--noise-window") options.noiseWindow = *x;
      if (a == "--max-frequency") options.maxFrequency = *x;
      if (a == "--min-frequency") options.minFrequency = *x;
    } else if (!optionsEnded && a == "--max-fap") {
      auto v = value("a probability");
      if (!v) return kExitUsage;
      auto x = parseNumber(*v);
      if (!x || !(*x > 0.0 && *x < 1.0))
        return usageError("frequencies: --max-fap needs a probability between 0 and 1, not '" + *v +
                          "'");
      options.maxFalseAlarm = *x;
    } else if (!optionsEnded && a == "--max-count") {
      auto v = value("a count");
      if (!v) return kExitUsage;
      auto x = parseInteger(*v);
      if (!x || *x < 0 || *x > 10000)
        return usageError("frequencies: --max-count needs a count 0..10000, not '" + *v + "'");
      options.maxCount = static_cast<int>(*x);
    } else if (!optionsEnded && a == "--residuals") {
      auto v = value("a file name");
      if (!v) return kExitUsage;
      residualsPath = *v;
    } else if (auto status =
                   optionsEnded ? std::nullopt : takeImportOption("frequencies", args, i, import)) {
      if (*status != kExitOk) return *status;
    } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
      return usageError("frequencies: unknown option '" + a + "'");
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return usageError("frequencies: no FILE given");
  if (!residualsPath.empty() && files.size() != 1)
    return usageError("frequencies: --residuals takes one FILE");

  int status = kExitOk;
  for (const auto& file : files) {
    Workspace ws;
    if (!loadForCommand(ws, file, import)) {
      status = kExitFileError;
      continue;
    }
    const auto& lc = ws.lightCurve;
    const PrewhiteningResult r = prewhiten(lc.time, lc.value, lc.error, options);
    if (!r.ok) {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), r.message.c_str());
      status = kExitFileError;
      continue;
    }
    if (json)
      std::printf("%s\n", tableJson(file, r).c_str());
    else
      printTable(file, r);
    if (!residualsPath.empty()) {
      const std::string failure = writeWholeFile(residualsPath, [&](TextFileWriter& w) {
        for (std::size_t j = 0; j < r.residual.size(); ++j)
          w.print("%.10f %.10g %.10g\n", lc.time[j], r.residual[j],
                  j < lc.error.size() ? lc.error[j] : 0.0);
      });
      if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        status = kExitFileError;
      }
    }
  }
  std::fflush(stdout);
  return status;
}

}  // namespace fazorn::cli
