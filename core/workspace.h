// The one application state: the loaded light curve, its phases, the last
// periodogram, the adopted solution, the search settings, the model and
// classification results, the texts of the results panel and the command
// states. Operations are plain functions over it (see the other headers);
// fields are accessed directly, there are no accessors with behaviour.
//
// Units: times in days, frequencies in cycles per day, values in flux or
// magnitudes (the same arrays hold either).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace fazorn {

// What the values of a light curve are. Magnitudes grow as the star fades;
// fluxes (electrons per second, counts, janskys, relative fluxes) grow as it
// brightens. The model and the classification work on magnitudes, so a
// flux light curve is modelled on -2.5 log10(flux / median flux) (see
// commands/model_chain.h); the observations themselves stay fluxes.
enum class ValueKind { Magnitude, Flux };

// The observations. After a load and after every command that changes the
// number of points, every array has exactly pointCount entries.
struct LightCurve {
  std::int32_t pointCount = 0;
  std::vector<double> time;    // days
  std::vector<double> value;   // flux or magnitude
  std::vector<double> error;   // uncertainty of value
  std::vector<double> weight;  // 1/error^2, formed at load as (1/e)/e
  // 0 unmarked, 1 marked; -1 only inside "Remove marked points".
  std::vector<std::int32_t> mark;
  // Work copies for the random permutation; zero-filled at each load.
  std::vector<double> scratchValue;
  std::vector<double> scratchError;
  // Set at load from the value column's unit or name (or the user's choice)
  // and by the flux/magnitude conversions; held here so that every copy of
  // the observations knows how to model them.
  ValueKind valueKind = ValueKind::Magnitude;

  friend bool operator==(const LightCurve&, const LightCurve&) = default;
};

struct Periodogram {
  std::vector<double> frequency;  // cycles per day, ascending
  std::vector<double> power;
  std::int32_t frequencyCount = 0;
  double maxPower = 0.0;  // highest power of the last search

  friend bool operator==(const Periodogram&, const Periodogram&) = default;
};

struct SearchSettings {
  double minPeriod = 0.2;    // days
  double maxPeriod = 500.0;  // days
  std::int32_t harmonics = 2;
  double resolution = 0.0003;  // frequency step, 1/day

  friend bool operator==(const SearchSettings&, const SearchSettings&) = default;
};

// The components of dataPath that name derived files: drive ("C:" on
// Windows, empty elsewhere), directory with its trailing separator, base name
// without extension, extension with its leading dot. Held as std::string:
// there is no length limit, so a long path is never truncated into the name
// of another file.
struct FileNameParts {
  std::string dataPath;    // the loaded data file, as the user chose it
  std::string outputPath;  // the last derived file written
  std::string drive;
  std::string directory;
  std::string baseName;
  std::string extension;
  // False when the data file is not plain numbers (a table or FITS file read
  // by its columns): "Save Data" then writes a "-data" file beside it
  // instead of over it.
  bool dataFileRewritable = true;

  friend bool operator==(const FileNameParts&, const FileNameParts&) = default;
};

// Statistics recomputed at every light-curve redraw (see statistics.h).
struct LightCurveStatistics {
  double minTime = 0.0;  // extremes of the data (0 without comparable points)
  double maxTime = 0.0;
  double minValue = 0.0;
  double maxValue = 0.0;
  double meanTime = 0.0;
  double meanValue = 0.0;
  double rms = 0.0;
  double timeSpan = 0.0;    // maxTime - minTime
  double valueRange = 0.0;  // maxValue - minValue
  // One minute divided by the median sampling interval ("gamma"); 0 when the
  // light curve has fewer than two points.
  double cadenceRatio = 0.0;

  friend bool operator==(const LightCurveStatistics&, const LightCurveStatistics&) = default;
};

// Texts of the value labels and of the two manual-phasing fields, as the
// operations leave them. "-" means no value.
struct PanelTexts {
  // "About light curve:" and the statistics labels of "Results:".
  std::string dataPoints = "-";
  std::string timeSpan = "-";
  std::string meanMag = "-";
  std::string rms = "-";
  std::string gamma = "-";
  // "Results:"
  std::string period = "-";
  std::string t0 = "-";
  std::string error = "-";
  std::string maxMag = "-";
  std::string amplitude = "-";
  std::string type = "-";
  std::string score = "-";
  // "Manual phasing:" edit fields ("Period:", "T0:"). Written by searches,
  // classifications and phasing refreshes.
  std::string periodField;
  std::string t0Field;

  friend bool operator==(const PanelTexts&, const PanelTexts&) = default;
};

// Enabled states of the commands that are not always enabled.
struct CommandStates {
  // Enabled by a load.
  bool saveData = false;
  bool analyse = false;  // menu "Analyse" and the button "AoV"
  bool unmarkPoints = false;
  bool removeMarkedPoints = false;
  bool deleteFile = false;
  bool phaseButton = false;
  bool dayBinning = false;
  // Enabled by a phasing (and by the chart redraws where noted).
  bool savePhasedData = false;   // also by the phase-diagram redraw
  bool savePeriodogram = false;  // also by the periodogram redraw
  bool getStatistics = false;
  bool halvePeriod = false;
  bool doublePeriod = false;
  bool shiftT0 = false;
  bool normalize = false;

  friend bool operator==(const CommandStates&, const CommandStates&) = default;
};

// The Fourier model of the last fit of the phased light curve, kept so that
// the phase diagram can draw it: flux relative to referenceFlux is
// c0 + sum over h of A[h] cos(2 pi h g) + B[h] sin(2 pi h g), where
// g = (time - epoch) / foldPeriod is the phase on twice the period the fit
// was made at. A and B are 1-based (entry 0 unused). The magnitude is
// -2.5 log10(flux * referenceFlux).
struct FittedModelCurve {
  bool valid = false;
  double period = 0.0;      // days: the period of the fit
  double foldPeriod = 0.0;  // days: twice the period
  double epoch = 0.0;       // days: time of model phase 0
  double referenceFlux = 1.0;
  double c0 = 0.0;
  std::vector<double> A;
  std::vector<double> B;

  friend bool operator==(const FittedModelCurve&, const FittedModelCurve&) = default;
};

struct Workspace {
  LightCurve lightCurve;

  // Phasing results; read only while phased is 1. Their length is the
  // pointCount of the moment of the last phasing.
  std::vector<double> phase;        // in (-0.5, 0.5]
  std::vector<double> phasedValue;  // copy of value[] taken at phasing
  int phased = 0;

  Periodogram periodogram;

  // Adopted solution.
  double period = 1.0;  // days
  double t0 = 0.0;      // epoch of phase zero, days

  SearchSettings settings;

  // Search results.
  double minFrequency = 0.0;
  double maxFrequency = 0.0;
  double bestFrequency = 0.0;
  double frequencyRange = 0.0;
  double periodError = 0.0;
  std::int32_t harmonicTerms = 0;
  // False-alarm probability of the last Lomb-Scargle peak (0..1).
  double falseAlarmProbability = 0.0;

  // Model results of the last fit of the phased light curve.
  double epochOfMinimum = 0.0;
  double epochOfMaximum = 0.0;
  double magAtMaximum = 0.0;
  // False when the fitted maximum flux was not positive: magAtMaximum is then
  // not available (labels show "-", the command line null).
  bool magAtMaximumValid = false;
  double amplitude = 0.0;
  FittedModelCurve modelCurve;
  // A flux light curve only: the points of the last model chain left out of
  // it because their flux was not positive (no magnitude), and the median
  // positive flux its magnitudes were computed against (0 for magnitudes).
  std::int32_t modelPointsLeftOut = 0;
  double modelReferenceFlux = 0.0;

  // Classification results.
  int t0FromMinimum = 0;
  std::array<double, 8> typeScore{};
  std::array<int, 8> typeOrder{};
  std::string typeText;   // as the "Type:" label shows it
  std::string scoreText;  // as the "Score:" label shows it

  LightCurveStatistics stats;

  // Times of the last and previous points clicked in the light-curve chart.
  double lastClickTime = 0.0;
  double previousClickTime = 0.0;

  // State flags and counters.
  int dataLoaded = 0;
  int normalized = 0;
  int phaseCycles = 2;  // cycles written by "Save Phased Data"
  // Counter of the randomisation test files; grows by one per file.
  int randomizationRunCounter = 0;

  FileNameParts files;

  // The window caption; a failed open leaves it naming the last loaded file.
  std::string caption = "Fazorn * (no file loaded)";

  PanelTexts panel;
  CommandStates commands;

  // Decimal separator of the texts shown in the window ('.' in files and on
  // the command line; the window sets the user's locale separator).
  char decimalSeparator = '.';

  friend bool operator==(const Workspace&, const Workspace&) = default;
};

// Recomputes phase[] and phasedValue[] from time[], value[], period and t0,
// and sets phased to 1. Phases lie in (-0.5, 0.5]; a period of 0 (or any
// non-finite ratio) gives phase 0.
void computePhases(Workspace& ws);

// Phase of one time for a period and epoch, by the same rule.
double phaseOf(double time, double period, double t0);

}  // namespace fazorn
