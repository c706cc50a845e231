// Writing derived text files with the C formats of the program (decimal
// point "." regardless of the user's locale: the process keeps LC_NUMERIC
// at "C"). Write errors are detected, so a full disk is never reported as
// success.
#pragma once

#include <cstdio>
#include <string>

namespace fazorn {

// Whether a writer may write through a symbolic link at its path. Only the
// observation file the user opened is written through a link (saving a file
// opened through a link writes the link's target, as the user chose);
// derived files never are: anyone who can create files in the data folder
// could otherwise point "star-period.dat" at any file the user can write.
enum class Links { Refuse, Follow };

class TextFileWriter {
 public:
  // With `atomic`, the text goes to a temporary file beside `path`, which
  // replaces `path` only when every line was written and the file was closed
  // without error; the original stays untouched otherwise. A path that is a
  // symbolic link is refused, or with Links::Follow written through to the
  // file it points to. A path that names a special file (a FIFO, a device
  // such as /dev/null) is written directly, never renamed over; a FIFO
  // without a reader is refused rather than waited for.
  TextFileWriter(std::string path, bool atomic = false, Links links = Links::Refuse);
  ~TextFileWriter();
  TextFileWriter(const TextFileWriter&) = delete;
  TextFileWriter& operator=(const TextFileWriter&) = delete;

  bool isOpen() const { return file_ != nullptr; }
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void write(const std::string& text);
  // Closes (and for an atomic writer, renames). False when anything failed.
  // With `replace` false an existing file at the path is never replaced: the
  // finish then fails with "File exists" and leaves it as it was.
  bool finish(bool replace = true);
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
  int tempSlot_ = -1;  // the temporary file's entry for removeTemporaryFilesNow()
  void fail(int error);
  void fail(const std::string& why);
  void openDirect(const std::string& target, bool followLinks);
  void dropTemporary();
};

// Removes every temporary file a writer of this process has open at this
// moment (their targets are untouched). Async-signal-safe: the command
// line calls it when a second Ctrl+C ends the program at once.
void removeTemporaryFilesNow() noexcept;

// Writes `path` whole or not at all: body(writer) prints the lines into a
// temporary file beside `path`, which replaces `path` only when every line
// was written, flushed to disk and closed (an existing file stays as it was
// otherwise, and a failure leaves no file behind). Returns "" on success,
// else the sentence to tell: "Unable to write <path>: <reason>."
template <class Body>
std::string writeWholeFile(const std::string& path, Body&& body, Links links = Links::Refuse) {
  TextFileWriter file(path, /*atomic=*/true, links);
  if (file.isOpen()) body(file);
  if (file.finish()) return {};
  return "Unable to write " + path + ": " + file.failure() + ".";
}

}  // namespace fazorn
