// The column rules under pressure: a header built from the names archives
// use (time, value, error, band and flag words, WISE and AAVSO layouts),
// in any order and with any separator, above rows of numbers, words, nulls
// and limits taken from the input; and the same bytes as a VOTable. The
// readers must never crash, loop or read out of bounds, and what they give
// must hang together: equal-length series, no series on failure, distinct
// time and value columns, and every series from one band.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "core/table_import.h"
#include "core/votable.h"

namespace {

constexpr const char* kNames[] = {"time",
                                  "jd",
                                  "mjd",
                                  "hjd",
                                  "bjd",
                                  "TMID_BJD",
                                  "obsmjd",
                                  "BTJD",
                                  "T",
                                  "index",
                                  "field",
                                  "mag",
                                  "flux",
                                  "FCOR",
                                  "DETFLUX",
                                  "PDCSAP_FLUX",
                                  "w1mpro",
                                  "w1sigmpro",
                                  "w2mpro",
                                  "w2sigmpro",
                                  "ph_qual",
                                  "cc_flags",
                                  "qual_frame",
                                  "forcediffimflux",
                                  "forcediffimfluxunc",
                                  "uJy",
                                  "duJy",
                                  "m",
                                  "dm",
                                  "err",
                                  "magerr",
                                  "e_mag",
                                  "filter",
                                  "F",
                                  "band",
                                  "Band",
                                  "passband",
                                  "fid",
                                  "QUALITY",
                                  "procstatus",
                                  "infobitssci",
                                  "catflags",
                                  "mflags",
                                  "MOVING",
                                  "Validation Flag",
                                  "Magnitude",
                                  "Uncertainty",
                                  "JD",
                                  "Observer Code",
                                  "NAME",
                                  "DATE",
                                  "MAG",
                                  "MERR",
                                  "FILT",
                                  "MTYPE",
                                  "AFLAGS",
                                  "magcal_magdep",
                                  "ExposureDate",
                                  "flux(mJy)",
                                  "x"};
constexpr const char* kCells[] = {
    "2459000.5", "59000.25", "1",      "0",       "12.5", "-3",  "0.01", "null",  "NA",      "None",
    ">19.9",     "<14.5",    "99.990", "nan",     "inf",  "D",   "V",    "g",     "AAUU",    "0000",
    "56,57",     "",         "1e308",  "-1e-308", "0x10", "STD", "DIF",  "X Cyg", "\"a,b\"", "14."};
constexpr char kSeparators[] = {',', '\t', ' ', ';', '|'};

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  unsigned next() { return pos_ < size_ ? data_[pos_++] : 0u; }

 private:
  const std::uint8_t* data_;
  std::size_t size_, pos_ = 0;
};

void check(const fazorn::TableImport& t) {
  if (t.time.size() != t.value.size() || t.time.size() != t.error.size()) std::abort();
  if (t.failed && !t.time.empty()) std::abort();
  if (!t.failed && t.opened && t.time.empty()) std::abort();
  if (!t.failed && t.timeColumn >= 0 && t.timeColumn == t.valueColumn) std::abort();
  // The series read is one band's: never more points than that band's rows.
  if (!t.failed && !t.chosenBand.empty())
    for (const auto& [name, rows] : t.bands)
      if (name == t.chosenBand && t.time.size() > rows) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  const char sep = kSeparators[in.next() % sizeof kSeparators];
  const std::size_t columns = 1 + in.next() % 12;
  std::string text;
  if (in.next() % 2) text += "# a comment\n";
  if (sep == '|') {
    for (std::size_t c = 0; c < columns; ++c)
      text += std::string("|") + kNames[in.next() % std::size(kNames)] + "     ";
    text += "|\n";
  } else {
    if (in.next() % 3 == 0) text += "#";
    for (std::size_t c = 0; c < columns; ++c) {
      if (c) text += sep;
      text += kNames[in.next() % std::size(kNames)];
    }
    text += '\n';
  }
  while (!in.empty() && text.size() < 1 << 16) {
    for (std::size_t c = 0; c < columns; ++c) {
      if (c) text += sep == '|' ? ' ' : sep;
      const unsigned pick = in.next();
      if (pick < 200)
        text += kCells[pick % std::size(kCells)];
      else
        text += std::to_string(static_cast<int>(pick) - 228) + "." + std::to_string(in.next());
    }
    if (in.next() % 17 != 0) text += '\n';  // now and then a row without its end
  }
  fazorn::ImportOptions options;
  options.maxObservations = 100000;
  check(fazorn::importTableText(text, options));
  // A band asked for that may not exist.
  options.band = kCells[size % std::size(kCells)];
  check(fazorn::importTableText(text, options));

  // The raw bytes as a VOTable, behind a header that makes them one.
  std::string vo = "<?xml version=\"1.0\"?><VOTABLE><RESOURCE><TABLE>";
  vo +=
      "<FIELD name=\"t\" ucd=\"time.epoch\" unit=\"d\"/>"
      "<FIELD name=\"b\" ucd=\"phot.mag;meta.main\" unit=\"mag\"/>"
      "<DATA><TABLEDATA>";
  vo.append(reinterpret_cast<const char*>(data), size);
  const fazorn::votable::Table table = fazorn::votable::parse(vo, 100000);
  if (!table.ok && !table.rows.empty()) std::abort();
  if (table.ok && table.fields.empty()) std::abort();
  fazorn::ImportOptions plain;
  plain.maxObservations = 100000;
  check(fazorn::importTableText(vo, plain));
  return 0;
}
