// Writing derived text files with the C formats of the program (decimal
// point "." regardless of the user's locale: the process keeps LC_NUMERIC
// at "C"). Write errors are detected, so a full disk is never reported as
// success.
#pragma once

#include <cstdio>
#include <string>

namespace fazorn {

class TextFileWriter {
 public:
  // With `atomic`, the text goes to a temporary file beside `path`, which
  // replaces `path` only when every line was written and the file was closed
  // without error; the original stays untouched otherwise. A path that is a
  // symbolic link is written through to the file it points to.
  TextFileWriter(std::string path, bool atomic = false);
  ~TextFileWriter();
  TextFileWriter(const TextFileWriter&) = delete;
  TextFileWriter& operator=(const TextFileWriter&) = delete;

  bool isOpen() const { return file_ != nullptr; }
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void write(const std::string& text);
  // Closes (and for an atomic writer, renames). False when anything failed.
  bool finish();
  const std::string& path() const { return path_; }
  // Why opening, writing, closing or renaming failed (the system's words);
  // empty while nothing failed.
  const std::string& failure() const { return failure_; }

 private:
  std::string path_;
  std::string target_;  // atomic: the file replaced (symbolic links followed)
  std::string tempPath_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  std::string failure_;
  void fail(int error);
};

// Writes `path` whole or not at all: body(writer) prints the lines into a
// temporary file beside `path`, which replaces `path` only when every line
// was written, flushed to disk and closed (an existing file stays as it was
// otherwise, and a failure leaves no file behind). Returns "" on success,
// else the sentence to tell: "Unable to write <path>: <reason>."
template <class Body>
std::string writeWholeFile(const std::string& path, Body&& body) {
  TextFileWriter file(path, /*atomic=*/true);
  if (file.isOpen()) body(file);
  if (file.finish()) return {};
  return "Unable to write " + path + ": " + file.failure() + ".";
}

}  // namespace fazorn
