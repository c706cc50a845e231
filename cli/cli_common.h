// Shared pieces of the command-line front end: option parsing helpers, JSON
// output, and the exit statuses users script against:
//   0 success, 1 a file could not be read or processed, 2 usage error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/outcome.h"
#include "core/table_import.h"
#include "core/workspace.h"
#include "search/search_settings.h"

namespace fazorn::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFileError = 1;
inline constexpr int kExitUsage = 2;

// A usage error: the message goes to stderr and the exit status is 2.
int usageError(const std::string& message);

// The search options checked once, before any file is read: an invalid
// period range is a usage error (the message once, exit status 2: returns
// false); "Harmonics:" of 0 or below is raised to 1 by the search, and the
// command line says so (the window raises it silently). `command` prefixes
// the lines ("analyse").
bool searchOptionsUsable(const std::string& command, const SearchSettings& settings,
                         SearchEngine engine);

// Parses a whole argument as a number ("%lf" syntax, C locale). Empty
// optional when the text is not entirely a finite number.
std::optional<double> parseNumber(std::string_view text);
std::optional<long> parseInteger(std::string_view text);

// Prints an Outcome's message and notes to stderr, prefixed by the file.
void printOutcomeToStderr(const std::string& file, const Outcome& outcome);

// The notes of a successful load worth a line on stderr: all but the first
// (the point count), each prefixed by the file and ending in a newline.
std::string loadNotesText(const std::string& file, const Outcome& loaded);
void printLoadNotes(const std::string& file, const Outcome& loaded);

// Loads `file` into ws as every command does: on failure the outcome goes to
// stderr and false comes back; on success the load notes worth showing go
// to stderr.
bool loadForCommand(Workspace& ws, const std::string& file, const ImportOptions& import);

// The options that say how files are read, shared by every command:
//   --columns TIME,VALUE[,ERROR]  columns by name or 1-based number
//   --band NAME                   the photometric band to read
// When args[i] is one of them, consumes it and its value and returns
// kExitOk, or the usage error's status; otherwise returns nothing.
std::optional<int> takeImportOption(const char* command, const std::vector<std::string>& args,
                                    std::size_t& i, ImportOptions& options);
extern const char* const kImportOptionsHelp;

// A minimal JSON object writer: keys in insertion order, numbers written so
// that they read back exactly, non-finite numbers as null.
class JsonObject {
 public:
  JsonObject& add(std::string_view key, std::string_view text);
  JsonObject& add(std::string_view key, const char* text) {
    return add(key, std::string_view(text));
  }
  JsonObject& add(std::string_view key, double number);
  JsonObject& add(std::string_view key, long long number);
  JsonObject& add(std::string_view key, int number) {
    return add(key, static_cast<long long>(number));
  }
  JsonObject& add(std::string_view key, bool value);
  JsonObject& addNull(std::string_view key);
  // A value already in JSON form (an array or object).
  JsonObject& addRaw(std::string_view key, std::string_view json);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  void key(std::string_view k);
  std::string body_;
};

std::string jsonString(std::string_view text);
std::string jsonNumber(double number);

}  // namespace fazorn::cli
