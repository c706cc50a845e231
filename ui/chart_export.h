// The window's three charts of one analysed star written to a picture file
// (PNG, PDF or SVG), for the command line's `plot` and `analyse --plot`.
// The header is free of Qt so that the command line's own files stay
// Qt-free; only chart_export.cpp sees Qt and QCustomPlot.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/workspace.h"

namespace fazorn::ui {

enum class PictureFormat { Png, Pdf, Svg };

// What a picture shows besides the Workspace's data: the heading (the file,
// the method, the period and its error, the type) and the warnings, each a
// line above the charts, and the candidate peaks marked on the periodogram.
struct StarPictureText {
  std::string heading;
  std::vector<std::string> warnings;
  std::vector<double> peakPeriods;  // days
  std::vector<double> peakPowers;   // the periodogram's power at each
};

// Whether this build can write `format` (SVG needs the Qt SVG module).
bool pictureFormatAvailable(PictureFormat format);

// Draws pictures with one set of the window's charts, reused for every star.
// Everything but the returned job must be called on the thread that created
// the writer (Qt's widgets live on one thread).
class StarPictureWriter {
 public:
  virtual ~StarPictureWriter() = default;

  // Fills the charts from `ws` (light curve, periodogram with the adopted
  // period and the candidates marked, phase diagram with the model) and
  // draws them with the text into a picture of width x height pixels
  // (PDF and SVG: the same size in points at 96 per inch). The returned job
  // finishes the file at `path` and returns "" or why the file could not
  // be written; it may run on any thread (PNG encoding happens there, so
  // that many stars are compressed in parallel).
  virtual std::function<std::string()> draw(const Workspace& ws, const StarPictureText& text,
                                            PictureFormat format, int width, int height,
                                            const std::string& path) = 0;
};

// Starts an application on Qt's offscreen platform when none runs (no
// display is needed, and the pictures are the same with one) and makes a
// writer.
// Restores LC_NUMERIC to "C" afterwards (starting Qt sets the user's locale).
// Call on the main thread, before other threads run.
std::unique_ptr<StarPictureWriter> makeStarPictureWriter();

}  // namespace fazorn::ui
