// A small reader of VOTable files (the XML tables of Virtual Observatory
// services: DASCH plate light curves, VizieR and TAP results) for the table
// import. It reads the first TABLE of the file in the TABLEDATA, BINARY or
// BINARY2 serialisation (the binary ones as an inline base64 STREAM): its
// FIELD descriptions (name, unit, UCD, null value) and its rows as text. The
// FITS serialisation and streams kept in other files are refused with the
// reason. The parser is tolerant of the usual variations (namespace
// prefixes, CDATA sections, character references, self-closing cells) and
// never reads past the text it is given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fazorn::votable {

struct Field {
  std::string name;       // the "name" attribute, else "ID", else the column number
  std::string unit;       // as written ("JD", "mag", "d"); empty when not given
  std::string ucd;        // e.g. "phot.mag;em.opt.B;meta.main"
  std::string datatype;   // "double", "char", ...
  std::string arraysize;  // "" (one value), "12", "*", "12*", "3x4*" ...
  std::string null;       // the VALUES null marker, when the field declares one
  bool hasNull = false;
};

struct Table {
  bool ok = false;
  std::string failure;  // why nothing could be read (when !ok)
  std::vector<Field> fields;
  std::vector<std::vector<std::string>> rows;  // cell texts, entities decoded
  int tables = 0;                              // TABLE elements seen (only the first is read)
};

// True when the text looks like a VOTable (an XML declaration or a VOTABLE
// element near its start).
bool looksLikeVoTable(std::string_view start);

// Parses `text`; rows beyond `maxRows` make the read fail (the caller's
// observation limit; 0 means no limit).
Table parse(std::string_view text, std::size_t maxRows = 0);

}  // namespace fazorn::votable
