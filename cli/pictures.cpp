#include "cli/pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include "cli/cli_common.h"
#include "core/number_format.h"

#ifdef FAZORN_HAVE_CHARTS
#include <dlfcn.h>

#include "ui/picture_module.h"
#endif

namespace fazorn::cli {

const char* const kPictureOptionsHelp =
    "      --format png|pdf|svg  the pictures' format (default png)\n"
    "      --size WxH            the pictures' size in pixels (PDF and SVG: points\n"
    "                            at 96 per inch; default 1200x900)\n";

namespace {

const char* suffixOf(ui::PictureFormat format) {
  switch (format) {
    case ui::PictureFormat::Pdf:
      return ".pdf";
    case ui::PictureFormat::Svg:
      return ".svg";
    case ui::PictureFormat::Png:
      break;
  }
  return ".png";
}

const char* methodTitle(const std::string& method) {
  if (method == "aov") return "AoV";
  if (method == "aovtr") return "AoVtr";
  if (method == "ls") return "Lomb-Scargle";
  return "given period";
}

const ReportValue* field(const AnalysisResult& result, const char* key) {
  return result.report.find(key);
}

double number(const AnalysisResult& result, const char* key) {
  const ReportValue* v = field(result, key);
  return v != nullptr && v->kind == ReportValue::Kind::Number ? v->number : std::nan("");
}

std::string text(const AnalysisResult& result, const char* key) {
  const ReportValue* v = field(result, key);
  return v != nullptr && v->kind == ReportValue::Kind::Text ? v->text : std::string();
}

// The numbers after "period": and "power": in the report's list of peaks
// ([{"period":P,"power":W},...], written by the report itself).
void readPeaks(const std::string& json, ui::StarPictureText& out) {
  const std::string periodKey = "\"period\":", powerKey = "\"power\":";
  for (std::size_t at = json.find(periodKey); at != std::string::npos;
       at = json.find(periodKey, at + 1)) {
    const std::size_t power = json.find(powerKey, at);
    if (power == std::string::npos) break;
    out.peakPeriods.push_back(std::strtod(json.c_str() + at + periodKey.size(), nullptr));
    out.peakPowers.push_back(std::strtod(json.c_str() + power + powerKey.size(), nullptr));
  }
}

#ifdef FAZORN_HAVE_CHARTS
// The picture module, loaded once and kept for the life of the process (the
// writer's jobs and destructor are its code).
struct LoadedModule {
  const ui::PictureModule* module = nullptr;
  std::string error;  // why it is not loaded
};

// Where the module may be: beside the program (the build tree, or a copy of
// both in one folder), then where `install` puts it relative to bin/. The
// program's own path through /proc/self/exe, with symbolic links resolved,
// so that a link to fazorn-cli elsewhere finds the module of the real one.
std::vector<std::filesystem::path> pictureModuleCandidates() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || self.empty()) return {};
  const std::filesystem::path dir = self.parent_path();
  return {dir / ui::kPictureModuleFile,
          (dir / FAZORN_PICTURE_MODULE_FROM_BIN / ui::kPictureModuleFile).lexically_normal()};
}

LoadedModule loadPictureModule() {
  LoadedModule r;
  const std::vector<std::filesystem::path> candidates = pictureModuleCandidates();
  if (candidates.empty()) {
    r.error = std::string("cannot find the picture module ") + ui::kPictureModuleFile +
              ": the path of this fazorn-cli is unknown (/proc/self/exe)";
    return r;
  }
  std::error_code ec;
  const auto found = std::find_if(candidates.begin(), candidates.end(),
                                  [&](const auto& p) { return std::filesystem::exists(p, ec); });
  if (found == candidates.end()) {
    r.error = std::string("the pictures are drawn by the module ") + ui::kPictureModuleFile +
              ", which is not installed with this fazorn-cli (looked for " +
              candidates.front().string() + " and " + candidates.back().string() + ")";
    return r;
  }
  const std::string path = found->string();
  // RTLD_NOW: a library the module lacks is reported here, not at a later
  // call; RTLD_LOCAL: its symbols stay its own.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    r.error = "cannot load the picture module " + path + ": " + (why ? why : "unknown error");
    return r;
  }
  auto entry = reinterpret_cast<ui::PictureModuleEntry>(dlsym(handle, ui::kPictureModuleEntry));
  const ui::PictureModule* module = entry != nullptr ? entry() : nullptr;
  if (module == nullptr) {
    dlclose(handle);
    r.error = path + " is not a picture module of fazorn-cli";
    return r;
  }
  if (module->buildKey == nullptr || module->buildKey != ui::pictureModuleBuildKey()) {
    const std::string theirs = module->buildKey ? module->buildKey : "none";
    dlclose(handle);
    r.error = "the picture module " + path + " belongs to another build (" + theirs +
              ", this fazorn-cli: " + ui::pictureModuleBuildKey() +
              "); install the program and the module together";
    return r;
  }
  r.module = module;
  return r;
}

const LoadedModule& pictureModule() {
  static const LoadedModule loaded = loadPictureModule();
  return loaded;
}
#endif

}  // namespace

std::unique_ptr<ui::StarPictureWriter> makePictureWriter() {
#ifdef FAZORN_HAVE_CHARTS
  if (const LoadedModule& loaded = pictureModule(); loaded.module != nullptr)
    return loaded.module->makeWriter();
#endif
  return nullptr;
}

std::optional<int> takePictureOption(const char* command, const std::vector<std::string>& args,
                                     std::size_t& i, PictureOptions& options) {
  const std::string& a = args[i];
  if (a != "--format" && a != "--size") return std::nullopt;
  if (i + 1 >= args.size()) return usageError(std::string(command) + ": " + a + " needs a value");
  const std::string& v = args[++i];
  if (a == "--format") {
    if (v == "png")
      options.format = ui::PictureFormat::Png;
    else if (v == "pdf")
      options.format = ui::PictureFormat::Pdf;
    else if (v == "svg")
      options.format = ui::PictureFormat::Svg;
    else
      return usageError(std::string(command) + ": --format takes png, pdf or svg, not '" + v + "'");
    return kExitOk;
  }
  const std::size_t x = v.find('x');
  const auto w = x == std::string::npos ? std::nullopt : parseInteger(v.substr(0, x));
  const auto h = x == std::string::npos ? std::nullopt : parseInteger(v.substr(x + 1));
  if (!w || !h || *w < kSmallestPictureWidth || *h < kSmallestPictureHeight ||
      *w > kLargestPictureSide || *h > kLargestPictureSide)
    return usageError(std::string(command) + ": --size takes WIDTHxHEIGHT in pixels, from " +
                      std::to_string(kSmallestPictureWidth) + "x" +
                      std::to_string(kSmallestPictureHeight) + " to " +
                      std::to_string(kLargestPictureSide) + "x" +
                      std::to_string(kLargestPictureSide) + ", not '" + v + "'");
  options.width = static_cast<int>(*w);
  options.height = static_cast<int>(*h);
  return kExitOk;
}

std::string checkPictureOptions(PictureOptions& options) {
#ifndef FAZORN_HAVE_CHARTS
  (void)options;
  return "this fazorn-cli was built without Qt 6 Widgets and QCustomPlot, which draw the "
         "pictures";
#else
  const LoadedModule& loaded = pictureModule();
  if (loaded.module == nullptr) return loaded.error;
  if (!loaded.module->formatAvailable(options.format))
    return "this fazorn-cli was built without the Qt SVG module: no SVG pictures (png and pdf "
           "work)";
  if (options.dir.empty()) return "the picture directory must not be empty";
  std::error_code ec;
  std::filesystem::create_directories(options.dir, ec);
  if (!std::filesystem::is_directory(options.dir, ec))
    return "cannot make the picture directory '" + options.dir + "'" +
           (ec ? ": " + ec.message() : std::string());
  return {};
#endif
}

std::vector<std::string> picturePaths(const std::vector<std::string>& files,
                                      const PictureOptions& options) {
  std::vector<std::string> paths;
  std::set<std::string> taken;
  for (const std::string& file : files) {
    std::filesystem::path name = std::filesystem::path(file).filename();
    const std::string outer = name.extension().string();
    if (outer == ".gz" || outer == ".bz2") name = name.stem();
    std::string base = name.stem().string();
    if (file == "-") base = "stdin";  // the light curve read from standard input
    if (base.empty()) base = "star";
    std::string stem = base;
    for (int k = 2; taken.count(stem) != 0; ++k) stem = base + "-" + std::to_string(k);
    taken.insert(stem);
    paths.push_back(
        (std::filesystem::path(options.dir) / (stem + suffixOf(options.format))).string());
  }
  return paths;
}

ui::StarPictureText pictureText(const std::string& file, const AnalysisResult& result) {
  ui::StarPictureText out;
  std::string h = std::filesystem::path(file).filename().string();
  h += "  |  " + std::string(methodTitle(text(result, "method")));
  const double period = number(result, "period");
  const double error = number(result, "period_error");
  h += "  |  P = " + formatPrintf("%.6f", period);
  if (std::isfinite(error)) h += " \u00b1 " + formatPrintf("%.2g", error);
  h += " d";
  const std::string type = text(result, "type");
  h += "  |  Type: " + (type.empty() ? std::string("-") : type);
  if (const std::string score = text(result, "score"); !score.empty())
    h += " (score " + score + ")";
  out.heading = h;

  const std::string prefix = "Warning: ";
  for (const std::string& d : result.diagnostics)
    if (d.rfind(prefix, 0) == 0) out.warnings.push_back(d.substr(prefix.size()));
  if (const ReportValue* admitted = field(result, "type_admitted");
      admitted != nullptr && admitted->kind == ReportValue::Kind::Boolean && !admitted->boolean)
    out.warnings.push_back("no type's period and amplitude ranges admit the star");
  if (const ReportValue* peaks = field(result, "peaks");
      peaks != nullptr && peaks->kind == ReportValue::Kind::Raw)
    readPeaks(peaks->text, out);
  return out;
}

}  // namespace fazorn::cli
