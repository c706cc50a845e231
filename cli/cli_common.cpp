#include "cli/cli_common.h"

#include <cmath>
#include <cstdio>

#include "batch/analysis_options.h"
#include "core/number_format.h"
#include "core/observation_file.h"

namespace fazorn::cli {

int usageError(const std::string& message) {
  std::fprintf(stderr, "fazorn-cli: %s\nTry 'fazorn-cli --help'.\n", message.c_str());
  return kExitUsage;
}

bool searchOptionsUsable(const std::string& command, const SearchSettings& settings,
                         SearchEngine engine) {
  const SettingsCheck check = checkSearchSettings(settings, engine);
  if (check.badPeriodRange) {
    usageError(command + ": " + check.refusal);
    return false;
  }
  // Lomb-Scargle has no harmonics.
  if (check.harmonicsRaised && engine != SearchEngine::LombScargle)
    std::fprintf(stderr, "fazorn-cli: %s: --harmonics %d raised to %d\n", command.c_str(),
                 settings.harmonics, check.harmonics);
  return true;
}

std::optional<double> parseNumber(std::string_view text) {
  std::size_t pos = 0;
  double value = 0;
  if (!scanDouble(text, pos, value) || pos != text.size() || !std::isfinite(value))
    return std::nullopt;
  // scanDouble skips leading blanks; an option value must not have any.
  if (!text.empty() && (text[0] == ' ' || text[0] == '\t')) return std::nullopt;
  return value;
}

std::optional<long> parseInteger(std::string_view text) {
  if (text.empty()) return std::nullopt;
  long value = 0;
  std::size_t i = 0;
  bool negative = false;
  if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i >= text.size()) return std::nullopt;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    if (value > 100000000000L) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

void printOutcomeToStderr(const std::string& file, const Outcome& outcome) {
  const std::string prefix = file.empty() ? "" : file + ": ";
  if (outcome.message)
    std::fprintf(stderr, "%s%s\n", prefix.c_str(), outcome.message->text.c_str());
  for (const auto& note : outcome.notes)
    std::fprintf(stderr, "%s%s\n", prefix.c_str(), note.c_str());
}

std::string loadNotesText(const std::string& file, const Outcome& loaded) {
  std::string text;
  for (const auto& note : loadNotesWorthShowing(loaded)) text += file + ": " + note + "\n";
  return text;
}

void printLoadNotes(const std::string& file, const Outcome& loaded) {
  std::fputs(loadNotesText(file, loaded).c_str(), stderr);
}

bool loadForCommand(Workspace& ws, const std::string& file, const ImportOptions& import) {
  const Outcome loaded = loadObservations(ws, file, import);
  if (!loaded.ok) {
    printOutcomeToStderr(file, loaded);
    return false;
  }
  printLoadNotes(file, loaded);
  return true;
}

const char* const kImportOptionsHelp =
    "Reading files (every command): plain files of three numbers per line are\n"
    "read as they are; text tables (comment lines, a header line of column\n"
    "names, comma, semicolon, tab or blank separated; survey exports) and FITS\n"
    "tables (TESS, Kepler, K2 light curves and others) are read by their\n"
    "columns, with rows flagged bad, limits and missing values left out and\n"
    "counted on stderr. A file without any observation is an error.\n"
    "  --columns TIME,VALUE[,ERROR]   the columns to read, by name or 1-based\n"
    "               number (without ERROR every error is 1)\n"
    "  --band NAME  the photometric band to read (default: the band with the\n"
    "               most observations); W1..W4 in WISE tables, STAR/FILTER\n"
    "               (\"V1021 HER/V\") or STAR in AAVSO Extended reports, an\n"
    "               aperture (MAG_2 in ASAS-3, IRM2 in CDIPS), or a FITS table\n"
    "               by its EXTNAME (CIRC_APER3 in K2SFF, SAP in K2SC)\n"
    "  --values mag|flux   magnitudes or fluxes (default: from the value\n"
    "               column's unit and name; plain files are magnitudes)\n";

std::optional<int> takeImportOption(const char* command, const std::vector<std::string>& args,
                                    std::size_t& i, ImportOptions& options) {
  const std::string& a = args[i];
  if (a != "--columns" && a != "--band" && a != "--values") return std::nullopt;
  if (i + 1 >= args.size()) return usageError(std::string(command) + ": " + a + " needs a value");
  // Checked as the analysis options check them (the same table).
  const AnalysisOption& option = *findAnalysisOption(std::string_view(a).substr(2));
  AnalysisRequest request;
  request.import = options;
  OptionValue value;
  std::string refusal;
  if (!optionValueFromText(option, args[++i], value, refusal) ||
      !(refusal = option.store(request, value)).empty())
    return usageError(std::string(command) + ": " + a + " " + refusal);
  options = request.import;
  return kExitOk;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string jsonNumber(double number) {
  if (!std::isfinite(number)) return "null";
  return formatExact(number);
}

void JsonObject::key(std::string_view k) {
  if (!body_.empty()) body_ += ", ";
  body_ += jsonString(k);
  body_ += ": ";
}
JsonObject& JsonObject::add(std::string_view k, std::string_view text) {
  key(k);
  body_ += jsonString(text);
  return *this;
}
JsonObject& JsonObject::add(std::string_view k, double number) {
  key(k);
  body_ += jsonNumber(number);
  return *this;
}
JsonObject& JsonObject::add(std::string_view k, long long number) {
  key(k);
  body_ += std::to_string(number);
  return *this;
}
JsonObject& JsonObject::add(std::string_view k, bool value) {
  key(k);
  body_ += value ? "true" : "false";
  return *this;
}
JsonObject& JsonObject::addNull(std::string_view k) {
  key(k);
  body_ += "null";
  return *this;
}
JsonObject& JsonObject::addRaw(std::string_view k, std::string_view json) {
  key(k);
  body_ += json;
  return *this;
}

}  // namespace fazorn::cli
