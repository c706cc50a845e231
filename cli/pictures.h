// Pictures of analysed stars for `plot` and `analyse --plot`: the options,
// the file names and the text over the charts. The drawing itself is the
// window's chart code (ui/chart_export.h) in the module fazorn-pictures.so
// (ui/picture_module.h), built with the program when Qt is found and loaded
// by checkPictureOptions; without Qt, or without the module, these commands
// refuse with a message.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/analysis_report.h"
#include "ui/chart_export.h"

namespace fazorn::cli {

struct PictureOptions {
  bool enabled = false;
  std::string dir = ".";
  ui::PictureFormat format = ui::PictureFormat::Png;
  // Pixels (PDF and SVG: points at 96 per inch), roughly the window's own
  // chart area at its opening size, enlarged for the text lines above.
  int width = 1200;
  int height = 900;
};

// The sizes a picture may have: the charts' minimum size on each side, and
// at most 8000 px a side (a 256 MB image in memory).
inline constexpr int kSmallestPictureWidth = 400;
inline constexpr int kSmallestPictureHeight = 300;
inline constexpr int kLargestPictureSide = 8000;

// --format png|pdf|svg and --size WIDTHxHEIGHT. When args[i] is one of them,
// consumes it and its value and returns kExitOk or the usage error's status;
// otherwise returns nothing.
std::optional<int> takePictureOption(const char* command, const std::vector<std::string>& args,
                                     std::size_t& i, PictureOptions& options);

// Checks the options once before any file (the picture module loads, the
// format can be written, the directory exists or is made): "" or the
// refusal.
std::string checkPictureOptions(PictureOptions& options);

// A writer from the module that checkPictureOptions loaded (it starts Qt);
// null when it did not load.
std::unique_ptr<ui::StarPictureWriter> makePictureWriter();

// One picture path per file, in DIR: the file's name without its suffix
// (and without a .gz or .bz2 before it; "stdin" for "-") plus the format's
// suffix. Names that two files would share get "-2", "-3"... in argument
// order, so that no picture overwrites another of the same run.
std::vector<std::string> picturePaths(const std::vector<std::string>& files,
                                      const PictureOptions& options);

// The heading (file name, method, period and its error, type and score),
// the warnings and the candidate peaks of an analysed star.
ui::StarPictureText pictureText(const std::string& file, const AnalysisResult& result);

extern const char* const kPictureOptionsHelp;

}  // namespace fazorn::cli
