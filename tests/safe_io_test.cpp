// Files, pipes and resources: derived files never written through a link
// somebody planted, special files never replaced, inputs that can be read
// only once read once, no abort when threads cannot be had, and no
// temporary file left behind by a failure or a second Ctrl+C.
#include <bzlib.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/data_saving.h"
#include "core/derived_files.h"
#include "core/file_names.h"
#include "core/observation_file.h"
#include "core/parallel_for.h"
#include "core/text_file.h"
#include "support/test_support.h"

namespace fazorn {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::size_t temporaryFilesIn(const fs::path& dir) {
  std::size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    n += e.path().filename().string().find(".tmp") != std::string::npos ? 1 : 0;
  return n;
}

TEST(SafeWrites, DerivedFilesNeverFollowALinkTheObservationFileDoes) {
  TempDir dir;
  test::writeText(dir / "victim.txt", "keep me\n");
  fs::create_symlink(dir / "victim.txt", dir / "star-period.dat");
  fs::create_symlink(dir / "victim.txt", dir / "star-phased.dat");
  test::writeSeries(dir / "star.dat", test::makeSineSeries(3, 40, 1.3, 0.2, 0.01, 20.0));
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, (dir / "star.dat").string()).ok);
  ws.periodogram.frequency = {0.5, 1.0};
  ws.periodogram.power = {1.0, 2.0};
  ws.periodogram.frequencyCount = 2;
  for (auto save : {savePeriodogram, savePhasedData}) {
    const Outcome out = save(ws);
    EXPECT_FALSE(out.ok);
    ASSERT_FALSE(out.notes.empty());
    EXPECT_NE(out.notes[0].find("it is a symbolic link, which derived files never follow"),
              std::string::npos)
        << out.notes[0];
  }
  EXPECT_EQ(test::readText(dir / "victim.txt"), "keep me\n");
  EXPECT_TRUE(fs::is_symlink(dir / "star-period.dat"));
  EXPECT_EQ(temporaryFilesIn(dir.path()), 0u);

  // The observation file opened through a link is saved to the link's
  // target, as the user chose.
  fs::create_symlink(dir / "star.dat", dir / "link.dat");
  Workspace linked;
  ASSERT_TRUE(loadObservations(linked, (dir / "link.dat").string()).ok);
  linked.lightCurve.value[0] += 1.0;
  ASSERT_TRUE(saveData(linked).ok);
  EXPECT_TRUE(fs::is_symlink(dir / "link.dat"));
  Workspace reread;
  ASSERT_TRUE(loadObservations(reread, (dir / "star.dat").string()).ok);
  EXPECT_NEAR(reread.lightCurve.value[0], linked.lightCurve.value[0], 1e-7);
}

TEST(SafeWrites, SpecialFilesAreWrittenInPlaceAndAPipeWithoutReaderIsRefused) {
  TempDir dir;
  const fs::path fifo = dir / "runs.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Nobody reads: refused at once, never waited for, never replaced.
  std::string failure = writeWholeFile(fifo.string(), [](TextFileWriter& f) { f.write("x\n"); });
  EXPECT_NE(failure.find("it is a pipe that no program reads"), std::string::npos) << failure;
  EXPECT_TRUE(fs::is_fifo(fifo));

  // A reader gets every line, and the FIFO stays a FIFO.
  std::string received;
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    char buffer[256];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
      received.append(buffer, static_cast<std::size_t>(n));
    if (fd >= 0) ::close(fd);
  });
  // The writer's non-blocking open needs the reader to be there first.
  for (int i = 0; i < 200; ++i) {
    failure = writeWholeFile(fifo.string(), [](TextFileWriter& f) { f.print("%d\n", 42); });
    if (failure.find("no program reads") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  reader.join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(received, "42\n");
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(temporaryFilesIn(dir.path()), 0u);
}

TEST(SafeWrites, AFullDiskLeavesNeitherAHalfBackupNorATemporaryFile) {
  TempDir dir;
  const fs::path star = dir / "star.dat";
  test::writeSeries(star, test::makeSineSeries(5, 3000, 1.3, 0.2, 0.01, 20.0));
  Workspace ws;
  ASSERT_TRUE(loadObservations(ws, star.string()).ok);
  const std::string original = test::readText(star);
  ws.lightCurve.value[0] += 1.0;
  {
    // Room for a little, not for a copy of the file.
    test::FileSizeLimit limit(4096);
    const Outcome out = saveDataKeepingOriginal(ws);
    EXPECT_FALSE(out.ok);
  }
  // No backup at all: a partial one would be kept for ever as "the
  // original" by every later save.
  EXPECT_FALSE(fs::exists(originalBackupPath(star.string())));
  EXPECT_EQ(test::readText(star), original);
  EXPECT_EQ(temporaryFilesIn(dir.path()), 0u);
  // With room again, the backup is the whole original.
  ASSERT_TRUE(saveDataKeepingOriginal(ws).ok);
  EXPECT_EQ(test::readText(originalBackupPath(star.string())), original);
}

TEST(ReadOnce, PipesAndStandardInputAreReadOnceAndWhole) {
  TempDir dir;
  const fs::path star = dir / "star.dat";
  test::writeSeries(star, test::makeSineSeries(7, 500, 0.7, 0.2, 0.01, 30.0));
  Workspace fromFile;
  ASSERT_TRUE(loadObservations(fromFile, star.string()).ok);
  const std::string text = test::readText(star);

  // A pipe named by /dev/fd/N, as process substitution gives it.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    for (std::size_t at = 0; at < text.size();) {
      const ssize_t n = ::write(fds[1], text.data() + at, text.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  Workspace fromPipe;
  const Outcome out = loadObservations(fromPipe, "/dev/fd/" + std::to_string(fds[0]));
  writer.join();
  ::close(fds[0]);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(fromPipe.lightCurve.time, fromFile.lightCurve.time);
  EXPECT_EQ(fromPipe.lightCurve.value, fromFile.lightCurve.value);
  // Never written back over what it came from.
  EXPECT_FALSE(fromPipe.files.dataFileRewritable);

  // A FIFO whose writer has finished before the read: read once, whole.
  const fs::path fifo = dir / "star.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread fifoWriter([&] { test::writeText(fifo, text); });
  Workspace fromFifo;
  ASSERT_TRUE(loadObservations(fromFifo, fifo.string()).ok);
  fifoWriter.join();
  EXPECT_EQ(fromFifo.lightCurve.value, fromFile.lightCurve.value);

  // The command line: "-" is standard input, for plain numbers and tables.
  std::string outFile, outPipe, err;
  ASSERT_EQ(test::runCli("info --json '" + star.string() + "'", &outFile, &err), 0) << err;
  ASSERT_EQ(test::runCliPiped("cat '" + star.string() + "'", "info --json -", &outPipe, &err), 0)
      << err;
  EXPECT_EQ(outPipe.substr(outPipe.find("\"points\"")), outFile.substr(outFile.find("\"points\"")));
  ASSERT_EQ(test::runCliPiped("printf 'time,mag,err\\n1,10,0.1\\n2,11,0.1\\n3,10.5,0.1\\n'",
                              "info --json -", &outPipe, &err),
            0)
      << err;
  EXPECT_NE(outPipe.find("\"points\": 3"), std::string::npos) << outPipe;
  // FITS from a pipe: copied to a temporary file and read there, as a
  // file of its own would be.
  const fs::path fits =
      test::testDataDir() / "formats/gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 1985008784705347456.fits";
  ASSERT_EQ(test::runCli("info --json '" + fits.string() + "'", &outFile, &err), 0) << err;
  ASSERT_EQ(test::runCliPiped("cat '" + fits.string() + "'", "info --json -", &outPipe, &err), 0)
      << err;
  EXPECT_EQ(outPipe.substr(outPipe.find("\"points\"")), outFile.substr(outFile.find("\"points\"")));
  // A damaged one says why.
  EXPECT_EQ(test::runCliPiped("printf 'SIMPLE  =                    T'", "info -", &outPipe, &err),
            1);
  EXPECT_NE(err.find("FITS file"), std::string::npos) << err;
}

// Loads `original` and its compressed `copy` and checks that the copy reads
// the same observations under the same base name; the copy's Workspace
// comes back for further checks.
Workspace expectSameObservations(const fs::path& original, const fs::path& copy) {
  Workspace plain, compressed;
  EXPECT_TRUE(loadObservations(plain, original.string()).ok) << original;
  EXPECT_TRUE(loadObservations(compressed, copy.string()).ok) << copy;
  EXPECT_EQ(compressed.lightCurve.time, plain.lightCurve.time) << copy;
  EXPECT_EQ(compressed.lightCurve.value, plain.lightCurve.value) << copy;
  EXPECT_EQ(compressed.lightCurve.error, plain.lightCurve.error) << copy;
  EXPECT_EQ(compressed.files.baseName, plain.files.baseName) << copy;
  return compressed;
}

// Archives ship light curves gzip-compressed: each reader reads the
// compressed copy as it reads the file itself, and the derived files are
// named after what the copy holds.
TEST(Compressed, GzipCopiesReadAsTheirOriginals) {
  TempDir dir;
  const fs::path formats = test::testDataDir() / "formats";
  const std::vector<fs::path> originals = {
      test::examplesDir() / "V1269_Cen.dat", formats / "text/sdss_s82_rrlyr_4984662.csv",
      formats / "gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 1985008784705347456.fits",
      formats / "dasch/plotshort_APASS_J140747.9-394543.xml"};
  for (const fs::path& original : originals) {
    const fs::path copy = dir / (original.filename().string() + ".gz");
    {
      const std::string bytes = test::readText(original);
      gzFile gz = gzopen(copy.c_str(), "wb");
      ASSERT_NE(gz, nullptr);
      ASSERT_EQ(gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size())),
                static_cast<int>(bytes.size()));
      ASSERT_EQ(gzclose(gz), Z_OK);
    }
    const Workspace compressed = expectSameObservations(original, copy);
    EXPECT_FALSE(compressed.files.dataFileRewritable);  // never written back compressed
    // Standard input: the gzip magic read off the stream, the same reading.
    std::string fromFile, fromPipe, err;
    ASSERT_EQ(test::runCli("info --json '" + original.string() + "'", &fromFile, &err), 0) << err;
    ASSERT_EQ(test::runCliPiped("cat '" + copy.string() + "'", "info --json -", &fromPipe, &err), 0)
        << err;
    EXPECT_EQ(fromPipe.substr(fromPipe.find("\"points\"")),
              fromFile.substr(fromFile.find("\"points\"")));
    EXPECT_NE(derivedFilePath(compressed.files, suffix::period).find("-period.dat"),
              std::string::npos);
  }
  // A compressed file cut short reads what it holds and never crashes.
  const std::string whole = test::readText(dir / "V1269_Cen.dat.gz");
  test::writeText(dir / "cut.dat.gz", whole.substr(0, whole.size() / 2));
  Workspace cut;
  (void)loadObservations(cut, (dir / "cut.dat.gz").string());
  EXPECT_LT(cut.lightCurve.pointCount, 325);
}

// bzip2 copies (".csv.bz2", ".fits.bz2") read on the same route as gzip.
TEST(Compressed, Bzip2CopiesReadAsTheirOriginals) {
  TempDir dir;
  const fs::path formats = test::testDataDir() / "formats";
  for (const fs::path& original :
       {formats / "catalina/crts_1143_Catalina.csv",
        formats / "k2_hlsp/hlsp_k2sc_k2_llc_211117077-c04_kepler_v2_lc.fits"}) {
    std::string bytes = test::readText(original);
    std::string packed(bytes.size() + bytes.size() / 100 + 600, '\0');
    unsigned packedSize = static_cast<unsigned>(packed.size());
    ASSERT_EQ(BZ2_bzBuffToBuffCompress(packed.data(), &packedSize, bytes.data(),
                                       static_cast<unsigned>(bytes.size()), 9, 0, 0),
              BZ_OK);
    packed.resize(packedSize);
    const fs::path copy = dir / (original.filename().string() + ".bz2");
    test::writeText(copy, packed);
    const Workspace compressed = expectSameObservations(original, copy);
    // On a pipe, recognised by its first bytes: the same reading.
    std::string fromFile, fromPipe, err;
    ASSERT_EQ(test::runCli("info --json '" + original.string() + "'", &fromFile, &err), 0) << err;
    ASSERT_EQ(test::runCliPiped("cat '" + copy.string() + "'", "info --json -", &fromPipe, &err), 0)
        << err;
    EXPECT_EQ(fromPipe.substr(fromPipe.find("\"points\"")),
              fromFile.substr(fromFile.find("\"points\"")));
    // Cut short on a pipe: an error, never a silent part.
    EXPECT_EQ(test::runCliPiped(
                  "head -c " + std::to_string(packed.size() / 2) + " '" + copy.string() + "'",
                  "info -", &fromPipe, &err),
              1);
    // Cut short: refused or fewer points, never a crash.
    test::writeText(dir / ("cut-" + copy.filename().string()), packed.substr(0, packed.size() / 2));
    Workspace cut;
    (void)loadObservations(cut, (dir / ("cut-" + copy.filename().string())).string());
    EXPECT_LT(cut.lightCurve.pointCount, compressed.lightCurve.pointCount);
  }
}

TEST(Threads, WorkersThatCannotStartRunOnTheCallingThread) {
#ifdef FAZORN_UNDER_ASAN
  GTEST_SKIP() << "the address-space limit cannot hold the sanitizer's shadow memory";
#endif
  // In a child process, with so little address space left that thread
  // stacks (8 MB each by default) cannot be had: every worker's share is
  // still done, and nothing aborts.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::vector<std::atomic<int>> hits(64);
    rlimit limit{};
    ::getrlimit(RLIMIT_AS, &limit);
    // What the process holds now plus 48 MB: a few stacks at most.
    std::size_t resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
      unsigned long pages = 0;
      if (std::fscanf(f, "%lu", &pages) == 1) resident = pages * 4096ul;
      std::fclose(f);
    }
    limit.rlim_cur = resident + (48ul << 20);
    ::setrlimit(RLIMIT_AS, &limit);
    runOnThreads(64, [&](int t) { hits[static_cast<std::size_t>(t)].fetch_add(1); });
    for (auto& h : hits)
      if (h.load() != 1) std::_Exit(2);
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a worker's share was not run exactly once";
}

TEST(Threads, TheCommandLineFallsBackToFewerThreadsUnderALimit) {
#ifdef FAZORN_UNDER_ASAN
  GTEST_SKIP() << "the address-space limit cannot hold the sanitizer's shadow memory";
#endif
  TempDir dir;
  test::writeSeries(dir / "star.dat", test::makeSineSeries(11, 300, 1.7, 0.5, 0.05, 60.0));
  const std::string args =
      "analyse --json --method aov --min-period 0.5 --max-period 10 "
      "--resolution 0.0001 '" +
      (dir / "star.dat").string() + "'";
  std::string one, limited, err;
  ASSERT_EQ(test::runCli(args + " --threads 1", &one, &err), 0) << err;
  // 64 threads of 8 MB stacks in 300 MB of address space: most cannot start.
  ASSERT_EQ(test::runCliWithMemoryLimit(300000, args + " --threads 64", &limited, &err), 0) << err;
  EXPECT_EQ(limited, one);
}

TEST(Interrupts, ASecondSignalLeavesNoTemporaryFile) {
  TempDir dir;
  test::writeSeries(dir / "star.dat", test::makeSineSeries(5, 100, 3.3, 0.3, 0.05, 60.0));
  const auto runs = dir / "runs.dat";
  // Two signals close together at seeded moments of the run file's
  // writing: the second arrives while the first is still winding down, and
  // ends the program at once.
  std::mt19937 random(2026);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const double first = 0.3 + 0.5 * std::uniform_real_distribution<double>()(random);
    const double second = 0.002 * std::uniform_real_distribution<double>()(random);
    std::string out, err;
    const int status = test::runCliInterruptedTwice(
        first, second,
        "significance --method ls --randomize permute --iterations 10000000 --seed 3 "
        "--min-period 1 --max-period 10 --output '" +
            runs.string() + "' '" + (dir / "star.dat").string() + "'",
        &out, &err);
    // Either the first signal's orderly end (130) or the second's at once
    // (128 + SIGTERM).
    EXPECT_TRUE(status == 130 || status == -1 || status == 143) << status << err;
    EXPECT_EQ(temporaryFilesIn(dir.path()), 0u) << "attempt " << attempt;
  }
}

}  // namespace
}  // namespace fazorn
