#include "support/test_support.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

// The environment the program is started with (POSIX leaves the declaration
// to the program that uses it).
extern "C" char** environ;

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

int runCliInterruptedAfterLines(std::size_t lines, const std::string& arguments, std::string* out,
                                std::string* err) {
  TempDir dir;
  const auto errPath = dir / "stderr";
  // exec: the shell only parses the quoted arguments, and the signal goes
  // to the program itself.
  const std::string command = "exec '" + std::string(FAZORN_CLI_PATH) + "' " + arguments + " 2>'" +
                              errPath.string() + "' </dev/null";
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  if (spawned != 0) {
    ::close(pipeEnds[0]);
    return -1;
  }
  std::string text;
  std::size_t seen = 0;
  bool signalled = false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeEnds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    seen += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
    if (!signalled && seen >= lines) {
      ::kill(pid, SIGTERM);
      signalled = true;
    }
  }
  ::close(pipeEnds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (out) *out = text;
  if (err) *err = readText(errPath);
  // As the shell reports it: 128 + the signal when a signal ended the program.
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

bool inDevelopmentPart(const std::string& fileName) {
  const std::string name = std::filesystem::path(fileName).filename().string();
  // SHA-1 (FIPS 180-4) of the name; only the first byte's high nibble counts.
  std::uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  std::vector<unsigned char> m(name.begin(), name.end());
  const std::uint64_t bits = static_cast<std::uint64_t>(m.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<unsigned char>(bits >> (8 * i)));
  auto rotl = [](std::uint32_t x, int k) { return (x << k) | (x >> (32 - k)); };
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i)
      w[i] = static_cast<std::uint32_t>(m[block + 4 * i]) << 24 |
             static_cast<std::uint32_t>(m[block + 4 * i + 1]) << 16 |
             static_cast<std::uint32_t>(m[block + 4 * i + 2]) << 8 | m[block + 4 * i + 3];
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      std::uint32_t f, k;
      if (i < 20)
        f = (b & c) | (~b & d), k = 0x5A827999u;
      else if (i < 40)
        f = b ^ c ^ d, k = 0x6ED9EBA1u;
      else if (i < 60)
        f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDCu;
      else
        f = b ^ c ^ d, k = 0xCA62C1D6u;
      const std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
      e = d, d = c, c = rotl(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  return ((h[0] >> 28) & 1u) == 0;
}

}  // namespace fazorn::test
