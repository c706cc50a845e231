// Hostile FITS headers: each is refused with the header and card it is
// about, before cfitsio sees it; sound tables next to them still read.
#include "core/fits_header_check.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/table_import.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// One 80-character card.
std::string card(const std::string& text) {
  std::string c = text.substr(0, 80);
  c.resize(80, ' ');
  return c;
}

std::string keyword(const std::string& name, const std::string& value) {
  std::string k = name;
  k.resize(8, ' ');
  return card(k + "= " + value);
}

std::string quoted(const std::string& s) {
  std::string v = "'" + s + "'";
  if (v.size() < 20) v.resize(20, ' ');
  return v;
}

std::string padded(std::string bytes, char fill) {
  bytes.resize((bytes.size() + 2879) / 2880 * 2880, fill);
  return bytes;
}

std::string bigEndian(double x) {
  unsigned char b[8];
  std::memcpy(b, &x, 8);
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(b[7 - i]);
  return s;
}

// A light curve of `rows` rows as a FITS binary table: TIME, MAG, MAG_ERR
// (8-byte reals), with the table's header cards replaceable one by one.
struct FitsBuilder {
  long rows = 5;
  std::vector<std::pair<std::string, std::string>> table = {{"XTENSION", quoted("BINTABLE")},
                                                            {"BITPIX", "8"},
                                                            {"NAXIS", "2"},
                                                            {"NAXIS1", "24"},
                                                            {"NAXIS2", "5"},
                                                            {"PCOUNT", "0"},
                                                            {"GCOUNT", "1"},
                                                            {"TFIELDS", "3"},
                                                            {"TTYPE1", quoted("TIME")},
                                                            {"TFORM1", quoted("D")},
                                                            {"TTYPE2", quoted("MAG")},
                                                            {"TFORM2", quoted("D")},
                                                            {"TTYPE3", quoted("MAG_ERR")},
                                                            {"TFORM3", quoted("D")},
                                                            {"EXTNAME", quoted("LIGHTCURVE")}};
  std::vector<std::string> rawCards;  // appended to the table header as they are
  bool truncateData = false;

  void set(const std::string& name, const std::string& value) {
    for (auto& kv : table)
      if (kv.first == name) {
        kv.second = value;
        return;
      }
    table.emplace_back(name, value);
  }

  std::string bytes() const {
    std::string primary = keyword("SIMPLE", "T") + keyword("BITPIX", "8") + keyword("NAXIS", "0") +
                          keyword("EXTEND", "T") + card("END");
    std::string header;
    for (const auto& kv : table) header += keyword(kv.first, kv.second);
    for (const auto& c : rawCards) header += c;
    header += card("END");
    std::string data;
    for (long r = 0; r < rows; ++r)
      data += bigEndian(2450000.0 + 0.37 * static_cast<double>(r)) +
              bigEndian(12.0 + 0.1 * static_cast<double>(r % 3)) + bigEndian(0.01);
    std::string file = padded(primary, ' ') + padded(header, ' ');
    file += truncateData ? data.substr(0, data.size() / 2) : padded(data, '\0');
    return file;
  }
};

TableImport importBytes(const std::string& bytes) {
  test::TempDir dir;
  const auto path = dir / "star.fits";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return importTable(path.string(), ImportOptions{});
}

TEST(FitsHeaderCheck, ASoundTableReadsAndItsPreviewIsFormattedHere) {
  FitsBuilder b;
  // A display format far wider than any text buffer: cfitsio would follow
  // it when asked for the column as text.
  b.set("TDISP2", quoted("F200.150"));
  const TableImport t = importBytes(b.bytes());
  ASSERT_FALSE(t.failed) << t.failure;
  ASSERT_EQ(t.time.size(), 5u);
  EXPECT_DOUBLE_EQ(t.time[4], 2450001.48);
  EXPECT_DOUBLE_EQ(t.value[1], 12.1);
  ASSERT_EQ(t.previewRows.size(), 5u);
  EXPECT_EQ(t.previewRows[1][1], "12.1");
  EXPECT_EQ(t.previewRows[0][0], "2450000");
}

struct HostileCase {
  const char* what;
  void (*damage)(FitsBuilder&);
  const char* told;  // a text the failure must contain
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.what; }

class HostileFitsHeader : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileFitsHeader, IsRefusedWithItsPlace) {
  FitsBuilder b;
  GetParam().damage(b);
  const TableImport t = importBytes(b.bytes());
  EXPECT_TRUE(t.opened);
  EXPECT_TRUE(t.failed);
  EXPECT_TRUE(t.time.empty());
  EXPECT_NE(t.failure.find(GetParam().told), std::string::npos) << t.failure;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileFitsHeader,
    ::testing::Values(
        // cfitsio copies an unquoted column name of 70 characters into a
        // 70-byte field with its terminating zero: one byte too many.
        HostileCase{"unquoted_70_character_name",
                    [](FitsBuilder& b) { b.set("TTYPE1", std::string(70, 'A')); },
                    "card 9 (TTYPE1) does not hold a quoted text value"},
        HostileCase{"name_with_bytes_beyond_ascii",
                    [](FitsBuilder& b) { b.set("TTYPE2", "'" + std::string(20, '\xff') + "'"); },
                    "card 11 (TTYPE2) holds bytes that are not ASCII text"},
        HostileCase{"unterminated_format", [](FitsBuilder& b) { b.set("TFORM1", "'D"); },
                    "(TFORM1) does not hold a quoted"},
        // A value longer than cfitsio's 81-character error message can hold.
        HostileCase{"long_non_number_scale",
                    [](FitsBuilder& b) { b.set("TSCAL1", std::string(60, 'x')); },
                    "(TSCAL1) does not hold a number"},
        HostileCase{"row_count_beyond_the_file",
                    [](FitsBuilder& b) { b.set("NAXIS2", "4000000000000"); },
                    "extension 1 declares more data (BITPIX = 8, NAXIS1 = 24, NAXIS2 = "
                    "4000000000000) than the 2880 bytes"},
        HostileCase{"negative_row_count", [](FitsBuilder& b) { b.set("NAXIS2", "-5"); },
                    "NAXIS2 = -5, outside"},
        HostileCase{"row_count_beyond_64_bits",
                    [](FitsBuilder& b) { b.set("NAXIS2", "99999999999999999999"); },
                    "(NAXIS2) does not hold an integer"},
        HostileCase{"repeat_count_beyond_the_row",
                    [](FitsBuilder& b) { b.set("TFORM2", quoted("200000000000A")); },
                    "formats add up to more"},
        HostileCase{"format_that_is_no_format",
                    [](FitsBuilder& b) { b.set("TFORM3", quoted("Z")); },
                    "not a binary table format"},
        HostileCase{"missing_format", [](FitsBuilder& b) { b.set("TFIELDS", "4"); }, "no TFORM4"},
        HostileCase{"too_many_fields", [](FitsBuilder& b) { b.set("TFIELDS", "100000"); },
                    "TFIELDS = 100000, outside 0 to 999"},
        HostileCase{"bitpix_of_no_type", [](FitsBuilder& b) { b.set("BITPIX", "7"); },
                    "BITPIX = 7, not a FITS data type"},
        // cfitsio reads the mandatory cards by position: a damaged TFIELDS
        // card once made it ask for an allocation of 2e16 bytes.
        HostileCase{"mandatory_keyword_unreadable",
                    [](FitsBuilder& b) {
                      for (auto& kv : b.table)
                        if (kv.first == "TFIELDS") kv.first = "TFIEL\xff\xff";
                    },
                    "card 8 holds bytes that are not ASCII text in its keyword"},
        HostileCase{"mandatory_keywords_out_of_order",
                    [](FitsBuilder& b) { std::swap(b.table[5], b.table[6]); },
                    "card 6 is GCOUNT where the standard requires PCOUNT"},
        HostileCase{"truncated_data", [](FitsBuilder& b) { b.truncateData = true; },
                    "truncated or its header is damaged"}),
    [](const auto& testInfo) { return std::string(testInfo.param.what); });

TEST(FitsHeaderCheck, AHeaderThatNeverEndsIsTruncated) {
  std::string bytes = padded(
      keyword("SIMPLE", "T") + keyword("BITPIX", "8") + keyword("NAXIS", "0") + card("END"), ' ');
  bytes += padded(keyword("XTENSION", quoted("BINTABLE")) + keyword("BITPIX", "8") +
                      keyword("NAXIS", "2") + keyword("NAXIS1", "0") + keyword("NAXIS2", "0") +
                      keyword("PCOUNT", "0") + keyword("GCOUNT", "1") + keyword("TFIELDS", "0"),
                  ' ');
  const TableImport t = importBytes(bytes);
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("truncated in the header of extension 1 (no END card)"),
            std::string::npos)
      << t.failure;
}

TEST(FitsHeaderCheck, TrailingBytesAfterTheLastUnitAreNotAnExtension) {
  // Some writers leave bytes after the last data unit; they are no
  // extension and are left alone.
  FitsBuilder b;
  std::string bytes = b.bytes() + std::string(100, '\0');
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  const FitsHeaderCheck check = checkFitsHeaders(f);
  std::fclose(f);
  EXPECT_EQ(check.problem, "");
  ASSERT_EQ(check.hdus.size(), 2u);
  EXPECT_FALSE(check.hdus[0].table);
  EXPECT_TRUE(check.hdus[1].table);
  EXPECT_EQ(check.hdus[1].rows, 5);
  EXPECT_EQ(check.hdus[1].rowBytes, 24);
}

// The time column's TUNIT: seconds become days (with a note), years are
// refused rather than read as days.
TEST(FitsTimeUnits, SecondsBecomeDaysAndYearsAreRefused) {
  FitsBuilder b;
  b.set("TUNIT1", quoted("s"));
  TableImport t = importBytes(b.bytes());
  ASSERT_FALSE(t.failed) << t.failure;
  ASSERT_EQ(t.time.size(), 5u);
  EXPECT_DOUBLE_EQ(t.time[1], (2450000.0 + 0.37) / 86400.0);
  bool noted = false;
  for (const auto& n : t.notes) noted = noted || n.find("converted to days") != std::string::npos;
  EXPECT_TRUE(noted);
  b.set("TUNIT1", quoted("d"));
  t = importBytes(b.bytes());
  ASSERT_FALSE(t.failed) << t.failure;
  EXPECT_DOUBLE_EQ(t.time[1], 2450000.37);
  b.set("TUNIT1", quoted("yr"));
  t = importBytes(b.bytes());
  EXPECT_TRUE(t.failed);
  EXPECT_NE(t.failure.find("not days"), std::string::npos) << t.failure;
}

}  // namespace
}  // namespace fazorn
