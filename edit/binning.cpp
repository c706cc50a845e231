// Binning the light curve (or the phased light curve) into derived files
// beside the data file. The Workspace's light curve and the charts are left
// as they are: the bins exist only in the file.
#include "edit/binning.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/derived_files.h"
#include "core/file_names.h"
#include "core/text_file.h"
#include "edit/edit_common.h"

namespace fazorn {

using edit_detail::countOfPoints;
using edit_detail::nothingDone;

namespace {

// The binnings show no box when the file cannot be written; the failure is
// still reported (the reason as a note, and a failed outcome for the
// command line).
const WriteMessages kNoBox{std::nullopt, false};

// A point a weighted mean can use: finite time and value and a finite,
// positive weight (an error of 0 gives an infinite weight, which would turn
// its bin into 0/0).
bool weightUsable(double weight) { return std::isfinite(weight) && weight > 0; }

std::string leftOutNote(long skipped) {
  return countOfPoints(skipped) +
         " with an error of 0 (or a number that is not finite) left out of the bins.";
}

}  // namespace

Outcome binByPoints(Workspace& ws, int pointsPerBin) {
  if (ws.dataLoaded != 1 || pointsPerBin < 1) return nothingDone();
  const LightCurve& lc = ws.lightCurve;
  return writeDerivedFile(ws, suffix::binned, kNoBox, [&](TextFileWriter& file) {
    const int n = pointsPerBin;
    // Consecutive points in storage order; the last pointCount mod n points
    // are dropped.
    const int bins = lc.pointCount / n;
    const double rootN = std::sqrt(static_cast<double>(n));
    for (int j = 0; j < bins; ++j) {
      double t = 0, v = 0, e = 0;
      for (int i = j * n; i < j * n + n; ++i) {
        t += lc.time[i];
        v += lc.value[i];
        e += lc.error[i];
      }
      file.print("%15.8f\t%12.6f\t%12.6f\n", t / n, v / n, (e / n) / rootN);
    }
  });
}

Outcome binByDay(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  const LightCurve& lc = ws.lightCurve;
  return writeDerivedFile(ws, suffix::nightBin, kNoBox, [&](TextFileWriter& file) {
    const int count = std::max(lc.pointCount, 0);
    // The points in time order: real archive files are not always sorted,
    // and a night must not be split or merged by the storage order. A stable
    // sort keeps equal times (and an already sorted light curve) in storage
    // order, so the sums are those of a sorted file.
    std::vector<int> order(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) order[static_cast<std::size_t>(i)] = i;
    if (!std::is_sorted(lc.time.begin(), lc.time.begin() + count))
      std::stable_sort(order.begin(), order.end(),
                       [&](int a, int b) { return lc.time[a] < lc.time[b]; });
    const auto t = [&](int k) { return lc.time[order[static_cast<std::size_t>(k)]]; };
    const auto v = [&](int k) { return lc.value[order[static_cast<std::size_t>(k)]]; };
    // A point whose day number (floor of the time) is greater than that of
    // the bin's first point opens the next bin, so bins end at integer times
    // and empty days are skipped. Each bin is written as soon as it is
    // closed, so there is no limit on the number of days.
    int start = 0;
    while (start < count) {
      const double day = std::floor(t(start));
      int end = start + 1;
      while (end < count && !(std::floor(t(end)) > day)) ++end;
      const int m = end - start;
      double sumT = 0, sumV = 0;
      for (int k = start; k < end; ++k) {
        sumT += t(k);
        sumV += v(k);
      }
      const double meanT = sumT / m;
      const double meanV = sumV / m;
      double error = 0;  // a bin of one point
      if (m > 1) {
        // Standard error of the mean from the scatter within the bin.
        double s = 0;
        for (int k = start; k < end; ++k) s += (v(k) - meanV) * (v(k) - meanV);
        error = std::sqrt(s / ((m - 1.0) * m));
      }
      file.print("%13.6f\t%12.6f\t%12.6f\n", meanT, meanV, error);
      start = end;
    }
  });
}

Outcome binByMinutes(Workspace& ws, int minutes) {
  if (ws.dataLoaded != 1 || minutes < 1) return nothingDone();
  char suffixText[32];
  std::snprintf(suffixText, sizeof suffixText, "-%02dminBin", minutes);
  const LightCurve& lc = ws.lightCurve;
  long skipped = 0;
  Outcome out = writeDerivedFile(ws, suffixText, kNoBox, [&](TextFileWriter& file) {
    const double width = minutes / 1440.0;  // days
    // Bins start at the first observation, not at whole minutes. The earliest
    // time is taken from the data (its finite times), as the light-curve
    // redraw takes it, whatever the scale of the times.
    double minTime = std::numeric_limits<double>::infinity();
    for (int i = 0; i < lc.pointCount; ++i)
      if (std::isfinite(lc.time[i]) && minTime > lc.time[i]) minTime = lc.time[i];

    // (bin number, point) for every usable point. Bin numbers are kept as
    // doubles: a long light curve in one-minute bins can exceed any int. Only
    // the occupied bins are ever held.
    std::vector<std::pair<double, int>> members;
    members.reserve(static_cast<std::size_t>(std::max(lc.pointCount, 0)));
    for (int i = 0; i < lc.pointCount; ++i) {
      const double w = 1.0 / (lc.error[i] * lc.error[i]);
      if (!weightUsable(w) || !std::isfinite(lc.time[i]) || !std::isfinite(lc.value[i])) {
        ++skipped;
        continue;
      }
      members.emplace_back(std::floor((lc.time[i] - minTime) / width), i);
    }
    // Sorted light curves need no sort; a stable one keeps the sums of each
    // bin in storage order otherwise.
    const auto byBin = [](const auto& a, const auto& b) { return a.first < b.first; };
    if (!std::is_sorted(members.begin(), members.end(), byBin))
      std::stable_sort(members.begin(), members.end(), byBin);

    for (std::size_t k = 0; k < members.size();) {
      double sumW = 0, sumWT = 0, sumWV = 0;
      std::size_t end = k;
      for (; end < members.size() && members[end].first == members[k].first; ++end) {
        const int i = members[end].second;
        const double w = 1.0 / (lc.error[i] * lc.error[i]);
        sumW += w;
        sumWT += w * lc.time[i];
        sumWV += w * lc.value[i];
      }
      // Weighted means with the formal error of the weighted mean.
      file.print("%15.8f\t%12.8f\t%12.8f\n", sumWT / sumW, sumWV / sumW, 1 / std::sqrt(sumW));
      k = end;
    }
  });
  if (!out.ok) return out;
  out.message = informationBox("Binned data written to a file.");
  if (skipped > 0) {
    out.addNote(leftOutNote(skipped));
    out.message->text += "\n" + out.notes.back();
  }
  return out;
}

Outcome savePhasedBinned(Workspace& ws) {
  if (ws.dataLoaded != 1) return nothingDone();
  if (ws.phased != 1) {
    Outcome out = nothingDone();
    out.addNote("No phases to bin: run an analysis or \"Phase\" first.");
    return out;
  }
  const LightCurve& lc = ws.lightCurve;
  long skipped = 0;
  Outcome out = writeDerivedFile(ws, suffix::phasedBinned, kNoBox, [&](TextFileWriter& file) {
    // The phases belong to the light curve of the last phasing; never read
    // past either set of arrays.
    const std::size_t n = std::min({static_cast<std::size_t>(std::max(lc.pointCount, 0)),
                                    lc.weight.size(), ws.phase.size(), ws.phasedValue.size()});
    constexpr int kBins = 200;
    constexpr double kWidth = 0.005;  // cycles
    const auto lowerEdge = [](int j) { return j * kWidth - 0.5; };

    // Bin j holds the phases lo <= phase < lo + 0.005 with lo = j * 0.005 - 0.5,
    // both edges as computed in floating point. Only the bin found by division
    // and its neighbours can hold a phase, so these are the ones tested.
    std::vector<std::vector<std::size_t>> members(kBins);
    for (std::size_t i = 0; i < n; ++i) {
      const double p = ws.phase[i];
      if (!std::isfinite(p)) continue;  // in no bin
      if (!weightUsable(lc.weight[i]) || !std::isfinite(ws.phasedValue[i])) {
        ++skipped;
        continue;
      }
      const double guess = std::floor((p + 0.5) / kWidth);
      if (guess < -1 || guess > kBins) continue;
      const int j0 = static_cast<int>(guess);
      for (int j = std::max(j0 - 1, 0); j <= std::min(j0 + 1, kBins - 1); ++j) {
        const double lo = lowerEdge(j);
        if (lo <= p && p < lo + kWidth) members[j].push_back(i);
      }
    }

    for (int j = 0; j < kBins; ++j) {
      const std::vector<std::size_t>& bin = members[j];
      if (bin.empty()) continue;
      double sumW = 0, sumWV = 0;
      for (std::size_t i : bin) {
        sumW += lc.weight[i];
        sumWV += lc.weight[i] * ws.phasedValue[i];
      }
      const double mean = sumWV / sumW;
      const double m = static_cast<double>(bin.size());
      double error;
      if (bin.size() > 1) {
        // Weighted scatter about the weighted mean.
        double chi = 0;
        for (std::size_t i : bin) {
          const double d = ws.phasedValue[i] - mean;
          chi += lc.weight[i] * d * d;
        }
        error = std::sqrt(chi / ((m - 1) * sumW / m));
      } else {
        error = std::sqrt(1 / sumW);
      }
      file.print("%15.8f\t%12.8f\t%12.8f\n", lowerEdge(j) + 0.0025, mean, error);
    }
  });
  if (out.ok && skipped > 0) out.addNote(leftOutNote(skipped));
  return out;
}

}  // namespace fazorn
