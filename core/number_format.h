// The number formats of the window's labels and fields.
#pragma once

#include <string>

namespace fazorn {

// Fixed-point notation with `decimals` decimals and a precision of
// `precision` significant digits: an optional minus sign, the integer digits,
// the decimal separator and exactly `decimals` decimals. The value is first
// rounded to `precision` significant digits (the further decimals are
// written as zeros); a value whose integer part has more than `precision`
// digits is written in scientific notation instead ("1.2345E+10").
// Non-finite values are written "NAN", "INF" and "-INF".
std::string formatFixed(double value, int decimals, int precision, char decimalSeparator = '.');

// A probability (0 to 1) as the status bar shows it: a percentage with one
// decimal and a percent sign ("12.5%") from 0.1 % up; below that, where the
// percentage would read "0.0%", the probability itself in scientific
// notation with three significant digits ("7.83e-93"), as the list of
// periodogram peaks writes it.
std::string formatProbability(double probability, char decimalSeparator = '.');

// printf-style formatting into a std::string (C locale numbers).
std::string formatPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Shortest text that reads back to exactly the same double ("%.17g" class),
// for machine-readable output.
std::string formatExact(double value);

}  // namespace fazorn
