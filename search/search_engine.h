// The three periodogram engines, the one enumeration of them that the
// commands, the significance test, the command line and the Python module
// share, with their names.
#pragma once

#include <optional>
#include <string_view>

namespace fazorn {

// Multiharmonic AoV, its transit variant AoVtr, Lomb-Scargle.
enum class SearchEngine { Aov, AovTransit, LombScargle };

// "aov", "aovtr", "ls": the names of the command line's --method, of the
// Python keyword method= and of the JSON key "method".
constexpr const char* engineName(SearchEngine engine) {
  switch (engine) {
    case SearchEngine::Aov:
      return "aov";
    case SearchEngine::AovTransit:
      return "aovtr";
    case SearchEngine::LombScargle:
      break;
  }
  return "ls";
}

// The engine of a name, or nothing for another text.
constexpr std::optional<SearchEngine> parseEngine(std::string_view name) {
  for (SearchEngine e : {SearchEngine::Aov, SearchEngine::AovTransit, SearchEngine::LombScargle})
    if (name == engineName(e)) return e;
  return std::nullopt;
}

}  // namespace fazorn
