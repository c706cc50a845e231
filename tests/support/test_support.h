// Shared test helpers: named tolerances (support/tolerances.h), seeded
// light-curve generators, temporary folders and file helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "support/generators.h"
#include "support/tolerances.h"

// Defined when the tests run under AddressSanitizer, whose quarantine keeps
// freed memory resident and whose shadow memory doubles large arrays.
#if defined(__SANITIZE_ADDRESS__)
#define FAZORN_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FAZORN_UNDER_ASAN 1
#endif
#endif

namespace fazorn::test {

// A full disk, as far as this process can tell: while it lives, no file
// may grow beyond `bytes` (writes beyond fail with EFBIG instead of raising
// SIGXFSZ). Files already written are not touched.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  unsigned long long previousSoft_ = 0;
  void (*previousHandler_)(int) = nullptr;
};

// A file's whole text.
std::string readText(const std::filesystem::path& path);
void writeText(const std::filesystem::path& path, const std::string& text);
// Writes a series as "time value error" lines.
void writeSeries(const std::filesystem::path& path, const Series& s);

// A fresh temporary folder per test, removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void expectArraysNear(std::span<const double> actual, std::span<const double> expected,
                      double tolerance, const char* what);

// The bundled real light curves (a copy of the project's data/real folder).
std::filesystem::path realDataDir();

// The fixed split of the real test sets: true for the development part
// (the first hex digit of the SHA-1 of the file's base name is even), false
// for the report part, on which no rule is tuned.
bool inDevelopmentPart(const std::string& fileName);
std::filesystem::path examplesDir();
std::filesystem::path testDataDir();

// Runs fazorn-cli with the given arguments (shell-quoted), capturing stdout
// and stderr into the strings; returns the exit status.
int runCli(const std::string& arguments, std::string* out, std::string* err = nullptr);
// The same, sending SIGTERM (what Ctrl+C does for a foreground program; a
// background job ignores SIGINT) after `seconds`; the exit status is the
// program's own, 128 + the signal when the signal ended it.
int runCliInterrupted(double seconds, const std::string& arguments, std::string* out,
                      std::string* err = nullptr);
// The same, sending SIGTERM as soon as the program has printed `lines`
// lines on stdout (read through a pipe as they come), so that what was done
// before the signal does not depend on how fast the machine is; when the
// program ends before printing them, no signal is sent.
int runCliInterruptedAfterLines(std::size_t lines, const std::string& arguments, std::string* out,
                                std::string* err = nullptr);
// The same with the process's address space limited to `kilobytes` (the
// shell's ulimit -v): a machine that runs out of memory.
int runCliWithMemoryLimit(long kilobytes, const std::string& arguments, std::string* out,
                          std::string* err = nullptr);
// The same with standard input from a shell pipeline: "producer | fazorn-cli ...".
int runCliPiped(const std::string& producer, const std::string& arguments, std::string* out,
                std::string* err = nullptr);
// The same, sending SIGTERM after `first` seconds and again `second` seconds
// later (the second signal ends the program at once).
int runCliInterruptedTwice(double first, double second, const std::string& arguments,
                           std::string* out, std::string* err = nullptr);

}  // namespace fazorn::test
