// Loading and analysing many files in a row keeps memory flat: nothing grows
// with the number of files analysed. The sanitizer build checks the same run
// for leaks at exit (LeakSanitizer).
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "commands/analysis.h"
#include "commands/model_chain.h"
#include "core/derived_files.h"
#include "core/observation_file.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

// Resident set size in kiB, from the kernel's view of this process.
long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Memory, HundredFilesAnalysedInARowKeepMemoryFlat) {
  test::TempDir dir;
  // Ten different light curves, loaded in turn, each 2,000 points, so that
  // every load replaces arrays of a different history.
  for (int k = 0; k < 10; ++k) {
    test::Series s = test::makeSineSeries(100 + k, 1500 + 100 * k, 0.3 + 0.4 * k, 0.3, 0.02);
    test::writeSeries(dir / ("star" + std::to_string(k) + ".dat"), s);
  }
  Workspace ws;
  RunControl rc;
  rc.threads = 2;
  long afterWarmUp = 0;
#ifdef FAZORN_UNDER_ASAN
  // Only LeakSanitizer's check at exit counts there (below): a few rounds of
  // every file are enough for it.
  const int files = 30;
#else
  const int files = 100;
#endif
  for (int i = 0; i < files; ++i) {
    const auto path = dir / ("star" + std::to_string(i % 10) + ".dat");
    ASSERT_TRUE(loadObservations(ws, path.string()).ok);
    ws.settings = SearchSettings{0.2, 20.0, 2, 0.002};
    analyseAov(ws, rc);
    analyseLombScargle(ws, rc);
    getStatistics(ws);
    savePeriodogram(ws);
    savePhasedData(ws);
    if (i == 19) afterWarmUp = residentKiB();
  }
#ifdef FAZORN_UNDER_ASAN
  // The sanitizer's quarantine keeps freed blocks resident on purpose; there
  // LeakSanitizer checks this run at exit instead.
  return;
#endif
  const long growth = residentKiB() - afterWarmUp;
  // The arrays of one file are well under 1 MB; 80 further files must not
  // add more than a few MB of allocator slack.
  EXPECT_LT(growth, 4096) << "resident memory grew by " << growth << " kiB over 80 files";
}

// A long light curve, as a space mission's full-cadence archive gives:
// 10,000,000 points are searched with AoV and run through the whole chain
// (fit, classification, phasing) by a process that may not map more than
// 1.5 GB, about 150 bytes per point.
TEST(Memory, TenMillionPointAnalysisFitsInOneAndAHalfGigabytes) {
#ifdef FAZORN_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's shadow memory alone exceeds the limit";
#else
  test::TempDir dir;
  const auto file = dir / "long.dat";
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    // Every 26 s for 8.2 years: a sinusoid of 1.37 d, 0.3 mag, in a
    // deterministic scatter of +-0.02 mag (a 64-bit LCG's top bits). The
    // lines are formatted from integers (time in 1e-4 d, magnitude in
    // 1e-5 mag): printf's general conversions of twenty million values took
    // most of the test's own time.
    std::uint64_t state = 88172645463325252ULL;
    // A fixed-point number with `decimals` digits after the point, from its
    // value in units of the last digit (non-negative).
    auto put = [](std::string& out, long units, int decimals) {
      char digits[24];
      int count = 0;
      for (; units > 0 || count <= decimals; units /= 10) digits[count++] = char('0' + units % 10);
      while (count > decimals) out += digits[--count];
      out += '.';
      while (count > 0) out += digits[--count];
    };
    std::string text;
    for (long i = 0; i < 10000000; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      const double scatter = 0.04 * (static_cast<double>(state >> 11) * 0x1p-53 - 0.5);
      const double t = static_cast<double>(3 * i) * 1e-4;
      put(text, 300 * i, 6);
      text += ' ';
      put(text, std::lround((12 + 0.3 * std::sin(2 * M_PI * t / 1.37) + scatter) * 1e5), 5);
      text += " 0.01\n";
      if (text.size() < (1u << 20)) continue;
      ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
      text.clear();
    }
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
    ASSERT_EQ(std::fclose(f), 0);
  }
  // A narrow grid around the period: memory grows with the points, not with
  // the few frequencies.
  std::string out, err;
  const int status = test::runCliWithMemoryLimit(
      1536 * 1024,
      "analyse --json --threads 2 --min-period 1.369 --max-period 1.371 --resolution 0.0002 '" +
          file.string() + "'",
      &out, &err);
  ASSERT_EQ(status, 0) << err;
  const auto key = out.find("\"period\": ");
  ASSERT_NE(key, std::string::npos) << out;
  EXPECT_NEAR(std::stod(out.substr(key + 10)), 1.37, test::gridPeriodTolerance(1.37, 0.0002));
#endif
}

}  // namespace
}  // namespace fazorn
