#include "core/votable.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

namespace fazorn::votable {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// An element name without its namespace prefix ("vot:TD" -> "TD"), upper case.
std::string localName(std::string_view name) {
  const std::size_t colon = name.rfind(':');
  if (colon != std::string_view::npos) name.remove_prefix(colon + 1);
  std::string out(name);
  for (char& c : out) c = upper(c);
  return out;
}

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code == 0 || code > 0x10FFFF) code = 0xFFFD;  // no NUL in a cell
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Text with the five XML entities and character references decoded; an
// unknown or unterminated reference is kept as written.
void appendDecoded(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != '&') {
      out += c;
      ++i;
      continue;
    }
    const std::size_t end = text.find(';', i);
    if (end == std::string_view::npos || end - i > 12) {
      out += c;
      ++i;
      continue;
    }
    const std::string_view ref = text.substr(i + 1, end - i - 1);
    if (ref == "lt") {
      out += '<';
    } else if (ref == "gt") {
      out += '>';
    } else if (ref == "amp") {
      out += '&';
    } else if (ref == "quot") {
      out += '"';
    } else if (ref == "apos") {
      out += '\'';
    } else if (ref.size() >= 2 && ref[0] == '#') {
      const bool hex = ref[1] == 'x' || ref[1] == 'X';
      std::uint32_t code = 0;
      bool valid = ref.size() > (hex ? 2u : 1u);
      for (std::size_t k = hex ? 2 : 1; k < ref.size() && valid; ++k) {
        const char d = ref[k];
        int v = -1;
        if (d >= '0' && d <= '9') v = d - '0';
        if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
        if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
        valid = v >= 0 && v < (hex ? 16 : 10) && code < 0x110000;
        code = code * (hex ? 16u : 10u) + static_cast<std::uint32_t>(v < 0 ? 0 : v);
      }
      if (!valid) {
        out.append(text.substr(i, end - i + 1));
      } else {
        appendUtf8(out, code);
      }
    } else {
      out.append(text.substr(i, end - i + 1));
    }
    i = end + 1;
  }
}

// The value of attribute `name` in a tag's attribute text; empty when absent.
std::string attribute(std::string_view attrs, std::string_view name, bool* found = nullptr) {
  std::size_t i = 0;
  while (i < attrs.size()) {
    while (i < attrs.size() && (isSpace(attrs[i]) || attrs[i] == '/')) ++i;
    const std::size_t start = i;
    while (i < attrs.size() && !isSpace(attrs[i]) && attrs[i] != '=' && attrs[i] != '/') ++i;
    const std::string_view key = attrs.substr(start, i - start);
    while (i < attrs.size() && isSpace(attrs[i])) ++i;
    if (i >= attrs.size() || attrs[i] != '=') {
      if (i == start) ++i;  // a stray character: step over it
      continue;
    }
    ++i;
    while (i < attrs.size() && isSpace(attrs[i])) ++i;
    if (i >= attrs.size()) break;
    std::string_view value;
    if (attrs[i] == '"' || attrs[i] == '\'') {
      const char q = attrs[i++];
      const std::size_t end = attrs.find(q, i);
      const std::size_t stop = end == std::string_view::npos ? attrs.size() : end;
      value = attrs.substr(i, stop - i);
      i = stop + 1;
    } else {
      const std::size_t s = i;
      while (i < attrs.size() && !isSpace(attrs[i])) ++i;
      value = attrs.substr(s, i - s);
    }
    if (localName(key) == localName(name)) {
      std::string out;
      appendDecoded(out, value);
      if (found != nullptr) *found = true;
      return out;
    }
  }
  return {};
}

// The bytes of a base64 text (RFC 4648); blanks and line ends are skipped.
// False on a character outside the alphabet.
bool decodeBase64(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size() / 4 * 3);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else if (c == '=' || isSpace(c)) {
      continue;
    } else {
      return false;
    }
    buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFFu));
    }
  }
  return true;
}

// Bytes of one value of a VOTable datatype in the binary serialisations
// (VOTable 1.4, section 5.1); 0 for an unknown type. "bit" is counted apart.
std::size_t valueBytes(std::string_view datatype) {
  if (datatype == "boolean" || datatype == "unsignedByte" || datatype == "char") return 1;
  if (datatype == "short" || datatype == "unicodeChar") return 2;
  if (datatype == "int" || datatype == "float") return 4;
  if (datatype == "long" || datatype == "double" || datatype == "floatComplex") return 8;
  if (datatype == "doubleComplex") return 16;
  return 0;
}

// A binary row decoder over the stream's bytes (big-endian, as the VOTable
// recommendation prescribes). Every read is checked against the end.
class BinaryRows {
 public:
  BinaryRows(const std::string& bytes, const std::vector<Field>& fields, bool nullFlags)
      : bytes_(bytes), fields_(fields), nullFlags_(nullFlags) {}

  bool atEnd() const { return at_ >= bytes_.size(); }

  // The next row's cells as text; false (with `why`) on a malformed row.
  bool next(std::vector<std::string>& row, std::string& why) {
    row.clear();
    const std::size_t start = at_;
    std::vector<bool> isNull(fields_.size(), false);
    if (nullFlags_) {
      const std::size_t flagBytes = (fields_.size() + 7) / 8;
      if (!have(flagBytes)) return cut(why);
      for (std::size_t f = 0; f < fields_.size(); ++f)
        isNull[f] = (static_cast<unsigned char>(bytes_[at_ + f / 8]) >> (7 - f % 8)) & 1u;
      at_ += flagBytes;
    }
    for (std::size_t f = 0; f < fields_.size(); ++f) {
      const Field& field = fields_[f];
      std::size_t count = 1;
      if (!arrayCount(field.arraysize, count, why)) return false;
      if (count == kVariable) {
        if (!have(4)) return cut(why);
        count = static_cast<std::size_t>(unsignedAt(at_, 4));
        at_ += 4;
      }
      std::string cell;
      if (field.datatype == "bit") {
        const std::size_t n = (count + 7) / 8;
        if (!have(n)) return cut(why);
        // One bit alone: any bit of its byte set counts (the recommendation
        // puts it first, 0x80; astropy's writer puts it at 0x08).
        if (count == 1) cell = bytes_[at_] != 0 ? "1" : "0";
        for (std::size_t b = 0; b < count && count > 1; ++b)
          cell.push_back(
              ((static_cast<unsigned char>(bytes_[at_ + b / 8]) >> (7 - b % 8)) & 1u) ? '1' : '0');
        at_ += n;
      } else {
        const std::size_t size = valueBytes(field.datatype);
        if (size == 0) {
          why = "the FIELD \"" + field.name + "\" has the datatype \"" + field.datatype +
                "\", which the binary serialisation does not define";
          return false;
        }
        if (count > (bytes_.size() - at_) / size) return cut(why);
        if (field.datatype == "char" || field.datatype == "unicodeChar") {
          for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t code = static_cast<std::uint32_t>(unsignedAt(at_ + k * size, size));
            if (code == 0) break;  // a NUL ends the string (fixed-width padding)
            appendUtf8(cell, code);
          }
          while (!cell.empty() && cell.back() == ' ') cell.pop_back();
        } else {
          for (std::size_t k = 0; k < count; ++k) {
            if (k > 0) cell.push_back(',');
            cell += valueText(field.datatype, at_ + k * size);
          }
          // Arrays are written as "(a,b,...)": one row per star, which the
          // table reader refuses with that reason.
          if (count != 1) cell = "(" + cell + ")";
        }
        at_ += count * size;
      }
      if (isNull[f] || (field.hasNull && cell == field.null)) cell.clear();
      row.push_back(std::move(cell));
    }
    // Fields of no bytes at all (no FIELD, arrays of size 0) would never
    // reach the end of the stream.
    if (at_ == start) {
      why = "the table's fields take no bytes, so its binary rows cannot be told apart";
      return false;
    }
    return true;
  }

 private:
  static constexpr std::size_t kVariable = static_cast<std::size_t>(-1);

  bool have(std::size_t n) const { return n <= bytes_.size() - at_; }
  static bool cut(std::string& why) {
    why = "the binary stream ends inside a row (cut short?)";
    return false;
  }
  std::uint64_t unsignedAt(std::size_t at, std::size_t size) const {
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < size; ++k)
      v = (v << 8) | static_cast<unsigned char>(bytes_[at + k]);
    return v;
  }
  // "" one value; "n" n values; "*", "n*" a count before the values; the
  // dimensions of "3x4" or "3x4*" multiply.
  static bool arrayCount(const std::string& arraysize, std::size_t& count, std::string& why) {
    count = 1;
    if (arraysize.empty()) return true;
    std::size_t product = 1;
    std::size_t start = 0;
    while (start <= arraysize.size()) {
      const std::size_t x = arraysize.find('x', start);
      const std::string_view dim = std::string_view(arraysize).substr(
          start, x == std::string::npos ? std::string::npos : x - start);
      if (dim.ends_with('*')) {
        count = kVariable;
        return true;
      }
      std::size_t d = 0;
      for (const char c : dim) {
        if (c < '0' || c > '9' || d > 100000000) {
          why = "a FIELD has the arraysize \"" + arraysize + "\", which is not understood";
          return false;
        }
        d = d * 10 + static_cast<std::size_t>(c - '0');
      }
      if (dim.empty() || product > 100000000 / std::max<std::size_t>(d, 1)) {
        why = "a FIELD has the arraysize \"" + arraysize + "\", which is not understood";
        return false;
      }
      product *= d;
      if (x == std::string::npos) break;
      start = x + 1;
    }
    count = product;
    return true;
  }
  std::string valueText(const std::string& type, std::size_t at) const {
    char buffer[64];
    auto shortest = [&](double v) {
      if (std::isnan(v)) return std::string();
      const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
      return std::string(buffer, r.ptr);
    };
    if (type == "double") return shortest(std::bit_cast<double>(unsignedAt(at, 8)));
    if (type == "float")
      return shortest(
          static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(unsignedAt(at, 4)))));
    if (type == "long") return std::to_string(static_cast<std::int64_t>(unsignedAt(at, 8)));
    if (type == "int")
      return std::to_string(
          static_cast<std::int32_t>(static_cast<std::uint32_t>(unsignedAt(at, 4))));
    if (type == "short")
      return std::to_string(
          static_cast<std::int16_t>(static_cast<std::uint16_t>(unsignedAt(at, 2))));
    if (type == "unsignedByte") return std::to_string(unsignedAt(at, 1));
    if (type == "boolean") {
      const char c = bytes_[at];
      if (c == 'T' || c == 't' || c == '1') return "T";
      if (c == 'F' || c == 'f' || c == '0') return "F";
      return std::string();
    }
    return std::string();  // complex numbers: no single value
  }

  const std::string& bytes_;
  const std::vector<Field>& fields_;
  bool nullFlags_;
  std::size_t at_ = 0;
};

}  // namespace

bool looksLikeVoTable(std::string_view start) {
  std::size_t i = 0;
  if (start.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
  while (i < start.size() && isSpace(start[i])) ++i;
  start.remove_prefix(i);
  if (start.substr(0, 5) == "<?xml") return true;
  const std::string_view head = start.substr(0, 4096);
  return head.find("<VOTABLE") != std::string_view::npos ||
         head.find(":VOTABLE") != std::string_view::npos;
}

Table parse(std::string_view text, std::size_t maxRows) {
  Table out;
  auto fail = [&](std::string why) {
    out.ok = false;
    out.failure = std::move(why);
    out.rows.clear();
    return out;
  };
  bool reading = false;  // inside the first TABLE
  bool tableClosed = false, inData = false, sawTableData = false;
  bool inField = false, inRow = false, inCell = false;
  int binary = 0;  // 1 BINARY, 2 BINARY2 (null flags before each row)
  bool sawStreamEnd = false, binaryClosed = false;
  std::string cell;
  std::vector<std::string> row;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (text[i] != '<') {
      const std::size_t next = text.find('<', i);
      const std::size_t stop = next == std::string_view::npos ? n : next;
      if (inCell) appendDecoded(cell, text.substr(i, stop - i));
      i = stop;
      continue;
    }
    const std::string_view rest = text.substr(i);
    if (rest.starts_with("<!--")) {
      const std::size_t end = text.find("-->", i + 4);
      if (end == std::string_view::npos) return fail("the XML ends inside a comment (cut short?)");
      i = end + 3;
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      const std::size_t end = text.find("]]>", i + 9);
      if (end == std::string_view::npos)
        return fail("the XML ends inside a CDATA section (cut short?)");
      if (inCell) cell.append(text.substr(i + 9, end - i - 9));
      i = end + 3;
      continue;
    }
    if (rest.starts_with("<?")) {
      const std::size_t end = text.find("?>", i + 2);
      if (end == std::string_view::npos) return fail("the XML ends inside a declaration");
      i = end + 2;
      continue;
    }
    if (rest.starts_with("<!")) {
      // DOCTYPE, possibly with an internal subset in brackets.
      std::size_t k = i + 2;
      int depth = 0;
      while (k < n && (text[k] != '>' || depth > 0)) {
        if (text[k] == '[') ++depth;
        if (text[k] == ']' && depth > 0) --depth;
        ++k;
      }
      if (k >= n) return fail("the XML ends inside a declaration");
      i = k + 1;
      continue;
    }
    // An element tag: quoted attribute values may hold '>'.
    std::size_t k = i + 1;
    char quote = 0;
    while (k < n && (quote != 0 || text[k] != '>')) {
      if (quote == 0 && (text[k] == '"' || text[k] == '\'')) {
        quote = text[k];
      } else if (quote != 0 && text[k] == quote) {
        quote = 0;
      }
      ++k;
    }
    if (k >= n) return fail("the XML ends inside a tag (cut short?)");
    std::string_view tag = text.substr(i + 1, k - i - 1);
    i = k + 1;
    const bool closing = !tag.empty() && tag[0] == '/';
    if (closing) tag.remove_prefix(1);
    const bool selfClosing = !tag.empty() && tag.back() == '/';
    if (selfClosing) tag.remove_suffix(1);
    std::size_t nameEnd = 0;
    while (nameEnd < tag.size() && !isSpace(tag[nameEnd])) ++nameEnd;
    const std::string name = localName(tag.substr(0, nameEnd));
    const std::string_view attrs = tag.substr(nameEnd);

    if (name == "TABLE") {
      if (!closing) {
        ++out.tables;
        if (out.tables == 1) reading = true;
      } else if (reading) {
        reading = false;
        tableClosed = true;
      }
      if (selfClosing && out.tables == 1) {
        reading = false;
        tableClosed = true;
      }
      continue;
    }
    if (!reading) continue;
    if (name == "FIELD" && !inData) {
      if (!closing) {
        Field f;
        f.name = attribute(attrs, "name");
        if (f.name.empty()) f.name = attribute(attrs, "ID");
        if (f.name.empty()) f.name = std::to_string(out.fields.size() + 1);
        f.unit = attribute(attrs, "unit");
        f.ucd = attribute(attrs, "ucd");
        f.datatype = attribute(attrs, "datatype");
        f.arraysize = attribute(attrs, "arraysize");
        out.fields.push_back(std::move(f));
        inField = !selfClosing;
      } else {
        inField = false;
      }
      continue;
    }
    if (name == "VALUES" && inField && !closing && !out.fields.empty()) {
      bool found = false;
      const std::string null = attribute(attrs, "null", &found);
      if (found) {
        out.fields.back().null = null;
        out.fields.back().hasNull = true;
      }
      continue;
    }
    if (name == "DATA") {
      inData = !closing && !selfClosing;
      continue;
    }
    if (inData && name == "FITS" && !closing)
      return fail(
          "the table is in the VOTable FITS serialisation, which is not read; ask the "
          "service for TABLEDATA, BINARY2 (or CSV)");
    if (inData && (name == "BINARY" || name == "BINARY2") && !closing) {
      binary = name == "BINARY" ? 1 : 2;
      continue;
    }
    if (binary != 0 && name == "STREAM" && !closing) {
      if (!attribute(attrs, "href").empty())
        return fail("the table's binary stream is kept in another file (href), which is not read");
      const std::string encoding = attribute(attrs, "encoding");
      if (encoding != "base64")
        return fail("the table's binary stream has the encoding \"" + encoding +
                    "\", which is not read (only base64)");
      const std::size_t end = selfClosing ? i : text.find('<', i);
      if (end == std::string_view::npos)
        return fail("the VOTable ends inside its binary stream: the file is cut short");
      std::string bytes;
      if (!decodeBase64(text.substr(i, end - i), bytes))
        return fail("the table's base64 stream holds a character outside base64");
      BinaryRows decoder(bytes, out.fields, binary == 2);
      std::string why;
      while (!decoder.atEnd()) {
        if (!decoder.next(row, why))
          return fail(why + ", after " + std::to_string(out.rows.size()) + " rows");
        out.rows.push_back(row);
        if (maxRows > 0 && out.rows.size() > maxRows)
          return fail("more than " + std::to_string(maxRows) +
                      " rows; the file is too large to load");
      }
      row.clear();
      sawTableData = true;
      sawStreamEnd = false;
      i = end;
      continue;
    }
    if (binary != 0 && name == "STREAM" && closing) {
      sawStreamEnd = true;
      continue;
    }
    if (binary != 0 && (name == "BINARY" || name == "BINARY2") && closing) {
      binaryClosed = true;
      continue;
    }
    if (name == "TABLEDATA") {
      if (!closing) sawTableData = true;
      continue;
    }
    if (name == "TR") {
      if (!closing) {
        row.clear();
        inRow = !selfClosing;
        if (selfClosing) out.rows.emplace_back();
      } else if (inRow) {
        if (inCell)
          return fail("a cell of row " + std::to_string(out.rows.size() + 1) + " is not closed");
        out.rows.push_back(std::move(row));
        row.clear();
        inRow = false;
      }
      if (maxRows > 0 && out.rows.size() > maxRows)
        return fail("more than " + std::to_string(maxRows) +
                    " rows; the file is too large to load");
      continue;
    }
    if (name == "TD" && inRow) {
      if (!closing) {
        if (selfClosing) {
          row.emplace_back();
        } else {
          cell.clear();
          inCell = true;
        }
      } else if (inCell) {
        const std::size_t column = row.size();
        if (column < out.fields.size() && out.fields[column].hasNull &&
            cell == out.fields[column].null)
          cell.clear();
        row.push_back(std::move(cell));
        cell.clear();
        inCell = false;
      }
      continue;
    }
  }
  if (out.tables == 0) return fail("the VOTable holds no TABLE");
  if (binary != 0 && sawTableData && (!sawStreamEnd || !binaryClosed))
    return fail("the VOTable ends inside its binary stream, after " +
                std::to_string(out.rows.size()) + " rows: the file is cut short");
  if (inRow || inCell || (reading && sawTableData))
    return fail("the VOTable ends inside its table, after " + std::to_string(out.rows.size()) +
                " rows: the file is cut short");
  if (out.fields.empty()) return fail("the VOTable's table describes no FIELD");
  if (!sawTableData && out.rows.empty())
    return fail("the VOTable's table has no TABLEDATA (no rows, or a serialisation not read)");
  (void)tableClosed;
  out.ok = true;
  return out;
}

}  // namespace fazorn::votable
