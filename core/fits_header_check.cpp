#include "core/fits_header_check.h"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string_view>

namespace fazorn {

namespace {

constexpr std::int64_t kBlock = 2880;
constexpr std::int64_t kCard = 80;
// The standard's limits: at most 999 axes and 999 table fields.
constexpr std::int64_t kMaxAxes = 999;
constexpr std::int64_t kMaxFields = 999;
// Numbers longer than this are refused before cfitsio sees them: its
// "Error reading value of TSCALn as a double: <value>" message is built in
// an 81-character buffer, which a value of up to 35 characters fits.
constexpr std::size_t kMaxNumberLength = 32;

std::string hduName(int number) {
  return number == 1 ? std::string("the primary header")
                     : "the header of extension " + std::to_string(number - 1);
}

struct Value {
  bool present = false;  // the card has the value indicator "= "
  bool quoted = false;
  bool terminated = false;  // a quoted value with its closing quote
  std::string text;         // the string without quotes, or the token before any comment
};

Value valueOf(std::string_view card) {
  Value v;
  if (card.size() < 10 || card[8] != '=' || card[9] != ' ') return v;
  v.present = true;
  std::size_t i = 10;
  while (i < card.size() && card[i] == ' ') ++i;
  if (i < card.size() && card[i] == '\'') {
    v.quoted = true;
    for (++i; i < card.size(); ++i) {
      if (card[i] != '\'') {
        v.text += card[i];
      } else if (i + 1 < card.size() && card[i + 1] == '\'') {
        v.text += '\'';
        ++i;
      } else {
        v.terminated = true;
        break;
      }
    }
    return v;
  }
  std::size_t end = card.find('/', i);
  if (end == std::string_view::npos) end = card.size();
  std::string_view token = card.substr(i, end - i);
  while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
  v.text = std::string(token);
  return v;
}

bool printable(std::string_view card) {
  for (char c : card)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) return false;
  return true;
}

// An integer as the standard writes it: an optional sign and decimal digits.
std::optional<std::int64_t> integerOf(const Value& v) {
  if (!v.present || v.quoted || v.text.empty() || v.text.size() > kMaxNumberLength)
    return std::nullopt;
  std::size_t i = (v.text[0] == '+' || v.text[0] == '-') ? 1 : 0;
  if (i == v.text.size()) return std::nullopt;
  for (std::size_t k = i; k < v.text.size(); ++k)
    if (v.text[k] < '0' || v.text[k] > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long x = std::strtoll(v.text.c_str(), &end, 10);
  if (errno == ERANGE || end != v.text.c_str() + v.text.size()) return std::nullopt;
  return static_cast<std::int64_t>(x);
}

// A real number, with the standard's optional D exponent.
bool isReal(const Value& v) {
  if (!v.present || v.quoted || v.text.empty() || v.text.size() > kMaxNumberLength) return false;
  std::string s = v.text;
  bool digit = false;
  for (char& c : s) {
    if (c == 'D' || c == 'd') c = 'E';
    if (c >= '0' && c <= '9')
      digit = true;
    else if (c != '+' && c != '-' && c != '.' && c != 'E' && c != 'e')
      return false;
  }
  if (!digit) return false;
  char* end = nullptr;
  (void)std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size();
}

bool isQuotedString(const Value& v) { return v.present && v.quoted && v.terminated; }

// The index of an indexed keyword such as TFORM12 (cfitsio reads the part
// after the prefix as an integer, so TFORM012 is column 12 too), or nothing
// when the suffix is not a number.
std::optional<std::int64_t> indexAfter(std::string_view keyword, std::string_view prefix) {
  if (keyword.size() <= prefix.size() || keyword.substr(0, prefix.size()) != prefix)
    return std::nullopt;
  std::string_view rest = keyword.substr(prefix.size());
  std::size_t i = (rest[0] == '+' || rest[0] == '-') ? 1 : 0;
  if (i == rest.size()) return std::nullopt;
  std::int64_t n = 0;
  for (; i < rest.size(); ++i) {
    if (rest[i] < '0' || rest[i] > '9') return std::nullopt;
    n = std::min<std::int64_t>(n * 10 + (rest[i] - '0'), 1'000'000);
  }
  return rest[0] == '-' ? -n : n;
}

// What one header holds of what the check needs.
struct Header {
  std::map<std::string, Value, std::less<>> first;  // the first card of each keyword
  std::map<std::int64_t, std::string> tform;        // the last TFORMn of each column
  std::map<std::int64_t, std::int64_t> tbcol;       // the last TBCOLn
};

// Bytes of a binary table field of TFORM "rTa", or nothing when invalid.
std::optional<std::int64_t> binaryFieldBytes(const std::string& tform) {
  std::size_t i = 0;
  while (i < tform.size() && tform[i] == ' ') ++i;
  std::int64_t repeat = 1;
  if (i < tform.size() && tform[i] >= '0' && tform[i] <= '9') {
    repeat = 0;
    for (; i < tform.size() && tform[i] >= '0' && tform[i] <= '9'; ++i) {
      repeat = repeat * 10 + (tform[i] - '0');
      if (repeat > (std::int64_t{1} << 40)) return std::nullopt;  // beyond any file here
    }
  }
  if (i == tform.size()) return std::nullopt;
  switch (tform[i]) {
    case 'L':
    case 'B':
    case 'A':
      return repeat;
    case 'X':
      return (repeat + 7) / 8;
    case 'I':
      return repeat * 2;
    case 'J':
    case 'E':
      return repeat * 4;
    case 'K':
    case 'D':
    case 'C':
    case 'P':
      return repeat * 8;
    case 'M':
    case 'Q':
      return repeat * 16;
    default:
      return std::nullopt;
  }
}

// Width of an ASCII table field of TFORM "Aw", "Iw", "Fw.d", "Ew.d", "Dw.d".
std::optional<std::int64_t> asciiFieldWidth(const std::string& tform) {
  std::size_t i = 0;
  while (i < tform.size() && tform[i] == ' ') ++i;
  if (i == tform.size() || std::strchr("AIFED", tform[i]) == nullptr) return std::nullopt;
  ++i;
  std::int64_t width = 0;
  std::size_t digits = 0;
  for (; i < tform.size() && tform[i] >= '0' && tform[i] <= '9'; ++i, ++digits) {
    width = width * 10 + (tform[i] - '0');
    if (width > (std::int64_t{1} << 40)) return std::nullopt;
  }
  if (digits == 0 || width == 0) return std::nullopt;
  return width;
}

class Walker {
 public:
  explicit Walker(std::FILE* f) : f_(f) {}

  FitsHeaderCheck run() {
    FitsHeaderCheck out;
    if (fseeko(f_, 0, SEEK_END) != 0 || (size_ = ftello(f_)) < 0) {
      out.problem = "the FITS file cannot be read (" + std::string(std::strerror(errno)) + ")";
      return out;
    }
    std::int64_t offset = 0;
    for (int number = 1; offset < size_; ++number) {
      if (number > 1) {
        // What follows the last HDU may be padding or other bytes that are
        // no extension; cfitsio is never moved there.
        std::array<char, 8> start{};
        if (size_ - offset < kCard || !readAt(offset, start.data(), start.size()) ||
            std::string_view(start.data(), start.size()) != "XTENSION")
          break;
      }
      Header header;
      std::int64_t dataStart = 0;
      if (std::string problem = readHeader(number, offset, header, dataStart); !problem.empty()) {
        out.problem = problem;
        return out;
      }
      FitsHduSummary hdu;
      hdu.number = number;
      std::int64_t dataBytes = 0;
      if (std::string problem = checkHeader(number, header, hdu, dataBytes); !problem.empty()) {
        out.problem = "the FITS file is damaged: " + problem;
        return out;
      }
      if (dataBytes > size_ - dataStart) {
        out.problem = "the FITS file is truncated or its header is damaged: " + hduName(number) +
                      " declares more data (" + sizeText_ + ") than the " +
                      std::to_string(std::max<std::int64_t>(0, size_ - dataStart)) +
                      " bytes the file holds after it";
        return out;
      }
      out.hdus.push_back(hdu);
      offset = dataStart + (dataBytes + kBlock - 1) / kBlock * kBlock;
    }
    if (out.hdus.empty()) out.problem = "the FITS file is empty";
    return out;
  }

 private:
  bool readAt(std::int64_t offset, char* buffer, std::size_t n) {
    if (fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    return std::fread(buffer, 1, n, f_) == n;
  }

  // Reads the cards of one header up to END; dataStart is the block after it.
  std::string readHeader(int number, std::int64_t offset, Header& header, std::int64_t& dataStart) {
    std::array<char, kBlock> block{};
    std::int64_t cardNumber = 0;
    for (std::int64_t at = offset;; at += kBlock) {
      if (!readAt(at, block.data(), block.size()))
        return "the FITS file is truncated in " + hduName(number) + " (no END card)";
      for (std::int64_t c = 0; c < kBlock; c += kCard) {
        ++cardNumber;
        std::string_view card(block.data() + c, kCard);
        std::string_view keyword = card.substr(0, 8);
        while (!keyword.empty() && keyword.back() == ' ') keyword.remove_suffix(1);
        const std::string where = "in " + hduName(number) + ", card " + std::to_string(cardNumber);
        if (!printable(card.substr(0, 8)))
          return "the FITS file is damaged: " + where +
                 " holds bytes that are not ASCII text in its keyword";
        // cfitsio reads the mandatory keywords by position, as the standard
        // orders them; one out of place would be read as something else.
        const std::string wanted = mandatoryKeyword(number, cardNumber, header);
        if (!wanted.empty() && keyword != wanted)
          return "the FITS file is damaged: " + where + " is " +
                 (keyword.empty() ? std::string("blank") : std::string(keyword)) +
                 " where the standard requires " + wanted;
        if (keyword == "END") {
          dataStart = at + kBlock;
          return {};
        }
        if (std::string problem = noteCard(number, cardNumber, keyword, card, header);
            !problem.empty())
          return "the FITS file is damaged: " + problem;
      }
    }
  }

  // The keyword the standard requires as card `cardNumber` of a header
  // (SIMPLE or XTENSION, BITPIX, NAXIS, NAXIS1..n, then PCOUNT, GCOUNT and
  // for tables TFIELDS in an extension), or "" past them. The values read
  // so far decide how many axes there are and whether it is a table.
  std::string mandatoryKeyword(int number, std::int64_t cardNumber, const Header& h) const {
    if (cardNumber == 1) return number == 1 ? "SIMPLE" : "XTENSION";
    if (cardNumber == 2) return "BITPIX";
    if (cardNumber == 3) return "NAXIS";
    auto naxisCard = h.first.find("NAXIS");
    if (naxisCard == h.first.end()) return {};
    const std::optional<std::int64_t> naxis = integerOf(naxisCard->second);
    if (!naxis || *naxis < 0 || *naxis > kMaxAxes) return {};
    std::int64_t k = cardNumber - 3;
    if (k <= *naxis) return "NAXIS" + std::to_string(k);
    if (number == 1) return {};
    k -= *naxis;
    if (k == 1) return "PCOUNT";
    if (k == 2) return "GCOUNT";
    if (k == 3) {
      auto x = h.first.find("XTENSION");
      std::string kind = x == h.first.end() ? std::string() : x->second.text;
      while (!kind.empty() && kind.back() == ' ') kind.pop_back();
      if (kind == "BINTABLE" || kind == "TABLE" || kind == "A3DTABLE") return "TFIELDS";
    }
    return {};
  }

  std::string noteCard(int number, std::int64_t cardNumber, std::string_view keyword,
                       std::string_view card, Header& header) {
    auto damaged = [&](const std::string& what) {
      return "in " + hduName(number) + ", card " + std::to_string(cardNumber) + " (" +
             (printable(keyword) ? std::string(keyword) : std::string("unreadable keyword")) +
             ") " + what;
    };
    // Keywords whose values cfitsio stores in its own structures.
    static constexpr std::string_view kStrings[] = {"TTYPE", "TFORM"};
    static constexpr std::string_view kNumbers[] = {"TBCOL", "TSCAL", "TZERO", "THEAP"};
    static constexpr std::string_view kIntegers[] = {"BITPIX",  "NAXIS",  "PCOUNT", "GCOUNT",
                                                     "TFIELDS", "ZNAXIS", "ZBITPIX"};
    bool structural = keyword == "XTENSION" || keyword == "SIMPLE" || keyword == "ZIMAGE" ||
                      keyword == "ZCMPTYPE" || keyword == "GROUPS";
    for (auto p : kIntegers) structural = structural || keyword == p;
    for (auto p : {"NAXIS", "ZNAXIS", "ZTILE", "TNULL"})
      structural = structural || indexAfter(keyword, p).has_value();
    for (auto p : kStrings) structural = structural || indexAfter(keyword, p).has_value();
    for (auto p : kNumbers) structural = structural || indexAfter(keyword, p).has_value();
    if (!structural) return {};
    if (!printable(card)) return damaged("holds bytes that are not ASCII text");
    const Value v = valueOf(card);
    if (!v.present) return damaged("has no value");
    for (auto p : kStrings)
      if (indexAfter(keyword, p) && !isQuotedString(v))
        return damaged("does not hold a quoted text value");
    for (auto p : kNumbers)
      if (indexAfter(keyword, p) && !isReal(v)) return damaged("does not hold a number");
    if (indexAfter(keyword, "TNULL") && !isQuotedString(v) && !integerOf(v))
      return damaged("holds neither a quoted text nor an integer");
    if ((keyword == "XTENSION" || keyword == "ZCMPTYPE") && !isQuotedString(v))
      return damaged("does not hold a quoted text value");
    bool integer = false;
    for (auto p : kIntegers) integer = integer || keyword == p;
    for (auto p : {"NAXIS", "ZNAXIS", "ZTILE"})
      integer = integer || indexAfter(keyword, p).has_value();
    if (integer && !integerOf(v)) return damaged("does not hold an integer");
    std::string name(keyword);
    header.first.try_emplace(name, v);
    if (auto n = indexAfter(keyword, "TFORM")) header.tform[*n] = v.text;
    if (auto n = indexAfter(keyword, "TBCOL")) {
      if (auto x = integerOf(v))
        header.tbcol[*n] = *x;
      else
        return damaged("does not hold an integer");
    }
    return {};
  }

  std::optional<std::int64_t> integer(const Header& h, const std::string& key) const {
    auto it = h.first.find(key);
    if (it == h.first.end()) return std::nullopt;
    return integerOf(it->second);
  }

  std::string checkHeader(int number, const Header& h, FitsHduSummary& hdu,
                          std::int64_t& dataBytes) {
    const std::string where = hduName(number);
    auto required = [&](const std::string& key, std::int64_t low, std::int64_t high,
                        std::int64_t& out) -> std::string {
      auto x = integer(h, key);
      if (!x) return where + " has no " + key;
      if (*x < low || *x > high)
        return where + " gives " + key + " = " + std::to_string(*x) + ", outside " +
               std::to_string(low) + " to " + std::to_string(high);
      out = *x;
      return {};
    };
    std::int64_t bitpix = 0, naxis = 0;
    if (auto p = required("BITPIX", -64, 64, bitpix); !p.empty()) return p;
    if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != 64 && bitpix != -32 &&
        bitpix != -64)
      return where + " gives BITPIX = " + std::to_string(bitpix) + ", not a FITS data type";
    if (auto p = required("NAXIS", 0, kMaxAxes, naxis); !p.empty()) return p;
    std::vector<std::int64_t> axes(static_cast<std::size_t>(naxis));
    const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 2;
    for (std::int64_t a = 1; a <= naxis; ++a)
      if (auto p = required("NAXIS" + std::to_string(a), 0, limit,
                            axes[static_cast<std::size_t>(a - 1)]);
          !p.empty())
        return p;
    std::int64_t pcount = 0, gcount = 1;
    if (h.first.count("PCOUNT") != 0)
      if (auto p = required("PCOUNT", 0, limit, pcount); !p.empty()) return p;
    if (h.first.count("GCOUNT") != 0)
      if (auto p = required("GCOUNT", 0, limit, gcount); !p.empty()) return p;

    // Random groups (a primary header with GROUPS = T and NAXIS1 = 0) leave
    // NAXIS1 out of the product.
    auto groups = h.first.find("GROUPS");
    const bool randomGroups = number == 1 && naxis >= 1 && axes[0] == 0 &&
                              groups != h.first.end() && groups->second.text == "T";
    // The data size, saturated just past the file's size (nothing larger
    // fits, and the products of hostile axes overflow 64 bits).
    const std::uint64_t cap = static_cast<std::uint64_t>(size_) + 1;
    auto times = [cap](std::uint64_t a, std::uint64_t b) {
      std::uint64_t product = 0;
      return __builtin_mul_overflow(a, b, &product) || product > cap ? cap : product;
    };
    std::uint64_t elements = naxis == 0 ? 0 : 1;
    for (std::int64_t a = randomGroups ? 1 : 0; a < naxis; ++a)
      elements = times(elements, static_cast<std::uint64_t>(axes[static_cast<std::size_t>(a)]));
    std::uint64_t bytes =
        std::min(cap, elements + static_cast<std::uint64_t>(std::min<std::int64_t>(pcount, size_)));
    bytes = times(bytes, static_cast<std::uint64_t>(gcount));
    bytes = times(bytes, static_cast<std::uint64_t>(std::abs(bitpix) / 8));
    dataBytes = static_cast<std::int64_t>(bytes);
    sizeText_ = "BITPIX = " + std::to_string(bitpix);
    for (std::int64_t a = 0; a < naxis && a < 3; ++a)
      sizeText_ += ", NAXIS" + std::to_string(a + 1) + " = " +
                   std::to_string(axes[static_cast<std::size_t>(a)]);
    if (naxis > 3) sizeText_ += ", ...";
    if (pcount != 0) sizeText_ += ", PCOUNT = " + std::to_string(pcount);
    if (gcount != 1) sizeText_ += ", GCOUNT = " + std::to_string(gcount);

    if (number == 1) return {};
    const std::string xtension = h.first.find("XTENSION")->second.text;
    std::string kind = xtension;
    while (!kind.empty() && kind.back() == ' ') kind.pop_back();
    if (kind != "BINTABLE" && kind != "TABLE" && kind != "A3DTABLE") return {};
    if (bitpix != 8 || naxis != 2)
      return where + " is a table with BITPIX or NAXIS other than 8 and 2";
    std::int64_t fields = 0;
    if (auto p = required("TFIELDS", 0, kMaxFields, fields); !p.empty()) return p;
    const std::int64_t rowBytes = axes[0];
    std::int64_t sum = 0;
    for (std::int64_t c = 1; c <= fields; ++c) {
      auto form = h.tform.find(c);
      if (form == h.tform.end()) return where + " has no TFORM" + std::to_string(c);
      const std::string column = "TFORM" + std::to_string(c) + " = '" + form->second + "'";
      if (kind == "TABLE") {
        auto width = asciiFieldWidth(form->second);
        if (!width) return where + " gives " + column + ", not an ASCII table format";
        auto start = h.tbcol.find(c);
        if (start == h.tbcol.end()) return where + " has no TBCOL" + std::to_string(c);
        if (start->second < 1 || *width > rowBytes || start->second - 1 > rowBytes - *width)
          return where + " places column " + std::to_string(c) +
                 " outside its rows of NAXIS1 = " + std::to_string(rowBytes) + " characters";
      } else {
        auto width = binaryFieldBytes(form->second);
        if (!width) return where + " gives " + column + ", not a binary table format";
        sum += *width;
        if (sum > rowBytes) break;
      }
    }
    if (kind != "TABLE" && sum != rowBytes)
      return where + " declares rows of NAXIS1 = " + std::to_string(rowBytes) +
             " bytes, its columns' formats add up to " +
             (sum > rowBytes ? "more" : std::to_string(sum));
    auto zimage = h.first.find("ZIMAGE");
    const bool compressedImage = zimage != h.first.end() && zimage->second.text == "T";
    if (compressedImage) {
      std::int64_t znaxis = 0;
      if (auto p = required("ZNAXIS", 0, kMaxAxes, znaxis); !p.empty()) return p;
    }
    hdu.table = !compressedImage;
    hdu.rows = axes[1];
    hdu.rowBytes = rowBytes;
    return {};
  }

  std::FILE* f_;
  std::int64_t size_ = 0;
  std::string sizeText_;  // the sizes of the last header checked, for the message
};

}  // namespace

FitsHeaderCheck checkFitsHeaders(std::FILE* file) { return Walker(file).run(); }

}  // namespace fazorn
