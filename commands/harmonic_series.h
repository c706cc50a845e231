// Harmonic series in the prewhitening cascade. A periodic signal that is not
// a sinusoid (an eclipsing binary's dips above all, but also a
// high-amplitude pulsator's sawtooth) is a comb of harmonics n f of one
// base frequency f, and the cascade finds its teeth one at a time, in the
// order of their amplitudes: for an eclipsing binary with nearly equal
// minima 2f first, then 4f, 6f, and f itself only later. Taken one by one
// the teeth are independent frequencies with a label each ("f1+f5" for 3f
// when 2f and f came first), a free frequency each, and each must pass the
// S/N limit although together they are one model: the shape of the folded
// curve.
//
// Here each tooth is held at n f (a fixed relation of the table, so that
// the comb has one free frequency) when the least-squares fit allows it,
// the base frequency named before its multiples, and the comb is extended
// by groups of missing harmonics judged by one F test each. Independent
// frequencies keep the cascade's S/N rule; only harmonics of a frequency
// already in the table are taken by the F test.
#pragma once

#include <functional>
#include <span>
#include <vector>

#include "model/frequency_table.h"
#include "model/multi_sine_fit.h"

namespace fazorn {

// The significance level of the F tests: 0.1 %, the false-alarm
// probability that the S/N limit of 4 stands for in a searched amplitude
// spectrum (Kuschnig et al. 1997, A&A 328, 544). A harmonic is tested at a
// frequency known beforehand, with no search, so the level is conservative
// for it.
inline constexpr double kHarmonicSignificance = 1e-3;

// The highest n at which a free term is taken for n f of a base f that has
// no harmonics yet, as labelCombinations labels harmonics; a base with
// harmonics up to H takes terms up to 2 H, the reach of one extension.
inline constexpr int kFirstHarmonicReach = 5;

struct HarmonicSeriesOptions {
  // |f_k - n f| (cycles per day) within which f_k is taken for n f: the
  // frequency resolution 1/T, as for the labels.
  double tolerance = 0.0;
  double maxFrequency = 0.0;  // cycles per day; no harmonic above it is added
  int maxCount = 50;          // most terms in the table
  double significance = kHarmonicSignificance;
  MultiSineFitOptions fit;
};

// The table's last term (just taken by the cascade) and the series:
// - when it lies within the tolerance of n f_b for a free term f_b (n up to
//   the reach above), it is held at n f_b;
// - else, when free terms lie at multiples n f of it (n up to
//   kFirstHarmonicReach), they are held at n f (their own harmonics
//   following as multiples of f), and the term moves before the first of
//   them, so that the table reads f1, 2f1, ...
// Each change is kept only when the fit with the relations converges and
// the relations are not rejected by the F test against the free fit (a
// mode that lies within 1/T of a harmonic but is resolved from it by its
// errors stays free). `residual` is the fit's residual (value - model) on
// entry and after a change. Returns whether the table changed.
bool joinHarmonicSeries(std::span<const double> time, std::span<const double> value,
                        std::span<const double> error, FrequencyTable& table,
                        std::vector<double>& residual, const HarmonicSeriesOptions& options);

// For each base with harmonics (highest H), the missing harmonics n f,
// n = 2 .. 2H, are added together, each held at n f, when the F test of the
// group (2 parameters per harmonic) against the table without it rejects
// their zero amplitudes; repeated while a group is added. A comb of an
// eclipse whose teeth are each below the S/N limit is found this way, and
// the zero odd harmonics of equal eclipses do not stop it as a test of one
// harmonic at a time would. `residual` as above. Returns whether the table
// changed.
bool extendHarmonicSeries(std::span<const double> time, std::span<const double> value,
                          std::span<const double> error, FrequencyTable& table,
                          std::vector<double>& residual, const HarmonicSeriesOptions& options);

// The S/N of each term of `table` given the fit's residuals (as the
// cascade computes it: amplitude over the mean residual amplitude near the
// frequency).
using TermSnr =
    std::function<std::vector<double>(const FrequencyTable&, std::span<const double> residual)>;

// Once the cascade has ended, each series is compared with its members
// free: where the F test rejects the held harmonics at the significance
// level (a period that changed over the data, aliases of sparse seasons:
// the teeth are then not at exact multiples), the series is dissolved. Its
// members become free terms again and those below the S/N limit, which
// only the series admitted, are dropped, so that every term left meets the
// rule for independent frequencies. Returns whether the table changed.
bool settleHarmonicSeries(std::span<const double> time, std::span<const double> value,
                          std::span<const double> error, FrequencyTable& table,
                          std::vector<double>& residual, const HarmonicSeriesOptions& options,
                          double snrLimit, const TermSnr& snrOf);

}  // namespace fazorn
