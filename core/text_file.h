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

 private:
  std::string path_;
  std::string target_;  // atomic: the file replaced (symbolic links followed)
  std::string tempPath_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

}  // namespace fazorn
