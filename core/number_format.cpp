#include "core/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fazorn {

std::string formatPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  char small[256];
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::string out;
  if (needed < 0) {
    va_end(copy);
    return out;
  }
  if (static_cast<std::size_t>(needed) < sizeof small) {
    out.assign(small, static_cast<std::size_t>(needed));
  } else {
    std::vector<char> big(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(big.data(), big.size(), format, copy);
    out.assign(big.data(), static_cast<std::size_t>(needed));
  }
  va_end(copy);
  return out;
}

std::string formatProbability(double probability, char decimalSeparator) {
  if (probability >= 0.0 && probability < 0.001) {
    std::string text = formatPrintf("%.2e", probability);
    for (char& c : text)
      if (c == '.') c = decimalSeparator;
    return text;
  }
  return formatFixed(probability * 100, 1, 3, decimalSeparator) + "%";
}

std::string formatExact(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string formatFixed(double value, int decimals, int precision, char decimalSeparator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (precision < 1) precision = 1;
  if (precision > 18) precision = 18;
  if (decimals < 0) decimals = 0;
  if (decimals > 18) decimals = 18;

  // Round to `precision` significant digits; the exponent of the rounded
  // value tells how many integer digits it has.
  char sci[64];
  std::snprintf(sci, sizeof sci, "%.*e", precision - 1, value);
  const char* e = sci;
  while (*e != '\0' && *e != 'e') ++e;
  const int exponent = std::atoi(e + 1);

  if (value != 0.0 && exponent + 1 > precision) {
    // Too many integer digits: scientific notation, precision digits.
    std::string mantissa(sci, static_cast<std::size_t>(e - sci));
    for (auto& c : mantissa)
      if (c == '.') c = decimalSeparator;
    char exp[16];
    std::snprintf(exp, sizeof exp, "E%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return mantissa + exp;
  }

  const double rounded = std::strtod(sci, nullptr);
  // Decimals carried by the significant digits; the rest are zeros.
  int significantDecimals = precision - 1 - exponent;
  if (significantDecimals > decimals) significantDecimals = decimals;
  if (significantDecimals < 0) significantDecimals = 0;
  char fixed[512];
  std::snprintf(fixed, sizeof fixed, "%.*f", significantDecimals, rounded);
  std::string out(fixed);
  if (significantDecimals < decimals) {
    if (significantDecimals == 0 && decimals > 0) out += '.';
    out.append(static_cast<std::size_t>(decimals - significantDecimals), '0');
  }
  // A value that rounds to zero is written without a minus sign.
  bool allZero = true;
  for (char c : out)
    if (c >= '1' && c <= '9') allZero = false;
  if (allZero && !out.empty() && out[0] == '-') out.erase(0, 1);
  if (decimalSeparator != '.')
    for (auto& c : out)
      if (c == '.') c = decimalSeparator;
  return out;
}

}  // namespace fazorn
