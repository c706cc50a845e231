#include "core/votable.h"

#include <cstdint>

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
    if (inData && (name == "BINARY" || name == "BINARY2" || name == "FITS") && !closing)
      return fail("the table is in the VOTable " + name +
                  " serialisation, which is not read; ask the service for TABLEDATA (or CSV)");
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
