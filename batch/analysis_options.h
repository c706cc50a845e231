// The options of an analysis, described once: the command line's parser
// (--min-period 0.5), the Python module's keyword arguments
// (min_period=0.5) and the options part of `fazorn-cli --help` all come from
// this table, and both front ends refuse the same values with the same
// words. Each front end only turns its own kind of value (a text, a Python
// object) into an OptionValue of the option's kind.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch/analysis_report.h"

namespace fazorn {

enum class OptionKind {
  Flag,          // on or off; the command line's option alone is on
  Number,        // a finite real number
  Whole,         // a whole number within +-1,000,000
  Choice,        // one of the texts in `choices` ("aov|aovtr|ls")
  NumberOrAuto,  // a number, or the text "auto"
  Columns,       // two or three column names or 1-based numbers
  Text,          // a non-empty text
};

struct OptionValue {
  bool flag = false;
  double number = 0.0;
  long whole = 0;
  std::string text;                  // Choice, Text, NumberOrAuto's "auto"
  std::vector<std::string> columns;  // Columns
};

struct AnalysisOption {
  std::string_view name;  // as on the command line without "--"; "-" is "_" in Python
  OptionKind kind;
  std::string_view choices;  // Choice: the texts allowed, separated by "|"
  // The help paragraph: its heading ("--oversampling K") and text, whose
  // continuation lines are indented to the text. Options without a text are
  // in the synopsis only.
  std::string_view heading;
  std::string_view help;
  // Stores the value in the request; returns the refusal ("" when taken).
  std::string (*store)(AnalysisRequest&, const OptionValue&);
};

// Every analysis option, in the order of the help.
std::span<const AnalysisOption> analysisOptions();
// The option of a command-line or Python name ("min-period" or
// "min_period"), or nullptr.
const AnalysisOption* findAnalysisOption(std::string_view name);

// A command-line value in the option's kind; false with the refusal when the
// text is not one (the same words as the Python module's).
bool optionValueFromText(const AnalysisOption& option, const std::string& text, OptionValue& value,
                         std::string& refusal);

// What the options decide alone, before any light curve: the refusal of a
// request no light curve can be searched with (the same for the command line
// and the Python module), and the harmonics a search will use when it raises
// them (0 when it does not).
struct RequestCheck {
  std::string refusal;
  int harmonicsRaisedTo = 0;
};
RequestCheck checkAnalysisRequest(const AnalysisRequest& request);

// The options part of the command line's help for `analyse`: each option's
// paragraph, "      --oversampling K   grid points per peak width ...".
std::string analysisOptionsHelp();

}  // namespace fazorn
