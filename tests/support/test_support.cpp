#include "support/test_support.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace fazorn::test {

FileSizeLimit::FileSizeLimit(long bytes) {
  previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  previousSoft_ = limit.rlim_cur;
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

FileSizeLimit::~FileSizeLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(previousSoft_);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previousHandler_);
}

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

void writeSeries(const std::filesystem::path& path, const Series& s) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  for (std::size_t i = 0; i < s.time.size(); ++i)
    std::fprintf(f, "%.10f %.8f %.8f\n", s.time[i], s.value[i], s.error[i]);
  std::fclose(f);
}

TempDir::TempDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "fazorn";
  for (auto& c : name)
    if (c == '/') c = '_';
  std::random_device rd;
  path_ =
      std::filesystem::temp_directory_path() / ("fazorn-test-" + name + "-" + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void expectArraysNear(std::span<const double> actual, std::span<const double> expected,
                      double tolerance, const char* what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  int reported = 0;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const bool bothNan = std::isnan(actual[i]) && std::isnan(expected[i]);
    if (!bothNan && !(std::fabs(actual[i] - expected[i]) <= tolerance)) {
      ADD_FAILURE() << what << "[" << i << "]: " << actual[i] << " vs " << expected[i];
      if (++reported >= 10) return;
    }
  }
}

std::filesystem::path realDataDir() { return FAZORN_REAL_DATA_DIR; }
std::filesystem::path examplesDir() { return FAZORN_EXAMPLES_DIR; }
std::filesystem::path testDataDir() { return FAZORN_TEST_DATA_DIR; }

namespace {

int runShell(const std::string& prefix, const std::string& arguments, std::string* out,
             std::string* err, const std::string& suffix = "",
             const std::string& input = " </dev/null") {
  TempDir dir;
  const auto outPath = dir / "stdout";
  const auto errPath = dir / "stderr";
  const std::string command = prefix + "'" + FAZORN_CLI_PATH + "' " + arguments + " >'" +
                              outPath.string() + "' 2>'" + errPath.string() + "'" + input + suffix;
  const int status = std::system(command.c_str());
  if (out) *out = readText(outPath);
  if (err) *err = readText(errPath);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int runCli(const std::string& arguments, std::string* out, std::string* err) {
  return runShell("", arguments, out, err);
}

int runCliInterrupted(double seconds, const std::string& arguments, std::string* out,
                      std::string* err) {
  return runShell("", arguments, out, err,
                  " & pid=$!; sleep " + std::to_string(seconds) + "; kill -TERM $pid; wait $pid");
}

int runCliWithMemoryLimit(long kilobytes, const std::string& arguments, std::string* out,
                          std::string* err) {
  return runShell("ulimit -v " + std::to_string(kilobytes) + " && ", arguments, out, err);
}

int runCliPiped(const std::string& producer, const std::string& arguments, std::string* out,
                std::string* err) {
  return runShell(producer + " | ", arguments, out, err, "", "");
}

int runCliInterruptedTwice(double first, double second, const std::string& arguments,
                           std::string* out, std::string* err) {
  return runShell("", arguments, out, err,
                  " & pid=$!; sleep " + std::to_string(first) + "; kill -TERM $pid; sleep " +
                      std::to_string(second) + "; kill -TERM $pid 2>/dev/null; wait $pid");
}

}  // namespace fazorn::test
