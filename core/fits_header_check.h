// A check of a FITS file's headers before cfitsio parses them.
//
// cfitsio copies some header values into fixed-size buffers without a
// length check (a column name of 70 unquoted characters overruns the
// 70-byte name of its column structure), formats others into 81-byte
// messages, and sizes reads from the row and repeat counts of the header.
// Light curves come from web archives and are untrusted, so every header is
// walked here first, by the rules of the FITS standard (version 4.0):
//   - 2880-byte blocks of 80-character cards, each header ending in END;
//   - the mandatory keywords (BITPIX, NAXIS, NAXISn, PCOUNT, GCOUNT,
//     TFIELDS) hold integers in their ranges;
//   - the table keywords that cfitsio reads into its column structures hold
//     values of their kind: TTYPEn, TFORMn, TUNITn, TDISPn, TDIMn quoted
//     strings; TBCOLn, TSCALn, TZEROn, THEAP numbers; TNULLn either;
//   - a binary table's TFORMn are valid and their widths add up to NAXIS1,
//     an ASCII table's fields lie within NAXIS1;
//   - each data unit (|BITPIX|/8 * GCOUNT * (PCOUNT + NAXIS1 * ... * NAXISn)
//     bytes) lies within the file, so no size taken from a header can ask
//     for more memory than the file holds.
// A file that passes may still be refused by cfitsio, with its own message;
// one that fails is never handed to it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fazorn {

struct FitsHduSummary {
  int number = 0;             // 1 = the primary HDU, 2 = the first extension
  bool table = false;         // a BINTABLE or TABLE extension, not tile-compressed
  std::int64_t rows = 0;      // NAXIS2 of a table
  std::int64_t rowBytes = 0;  // NAXIS1 of a table
};

struct FitsHeaderCheck {
  std::string problem;  // empty: every header is sound
  std::vector<FitsHduSummary> hdus;
};

// Reads the headers of an open file from its start (the data units are
// skipped, not read). The file position is left anywhere.
FitsHeaderCheck checkFitsHeaders(std::FILE* file);

}  // namespace fazorn
