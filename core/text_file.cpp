#include "core/text_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fazorn {

void TextFileWriter::fail(int error) {
  if (failure_.empty()) failure_ = error != 0 ? std::strerror(error) : "write error";
  failed_ = true;
}

TextFileWriter::TextFileWriter(std::string path, bool atomic) : path_(std::move(path)) {
  if (!atomic) {
    file_ = std::fopen(path_.c_str(), "w");
    if (file_ == nullptr) fail(errno);
    return;
  }
#ifndef _WIN32
  // A file reached through a symbolic link is written where the link points:
  // renaming over the link itself would replace the link by a copy (or fail
  // where only the target's directory is writable).
  if (char* real = ::realpath(path_.c_str(), nullptr)) {
    target_ = real;
    std::free(real);
  } else {
    target_ = path_;
  }
  struct stat st;
  // A directory cannot be replaced by a file: refuse it up front.
  if (::stat(target_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    fail(EISDIR);
    return;
  }
  int openError = 0;
  std::random_device rd;
  for (int attempt = 0; attempt < 8 && file_ == nullptr; ++attempt) {
    tempPath_ = target_ + ".tmp" + std::to_string(rd() % 1000000);
    const int fd = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) openError = errno;
    if (fd >= 0) {
      // Keep the permissions of the file being replaced.
      if (::stat(target_.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
      file_ = ::fdopen(fd, "w");
      if (file_ == nullptr) {
        openError = errno;
        ::close(fd);
        ::unlink(tempPath_.c_str());
      }
    }
  }
  if (file_ == nullptr) {
    tempPath_.clear();
    fail(openError);
  }
#else
  target_ = path_;
  tempPath_ = path_ + ".tmp";
  file_ = std::fopen(tempPath_.c_str(), "w");
  if (file_ == nullptr) {
    tempPath_.clear();
    fail(errno);
  }
#endif
}

TextFileWriter::~TextFileWriter() {
  if (file_ != nullptr) {
    std::fclose(file_);
    if (!tempPath_.empty()) std::remove(tempPath_.c_str());
  }
}

void TextFileWriter::print(const char* format, ...) {
  if (file_ == nullptr || failed_) return;
  va_list args;
  va_start(args, format);
  if (std::vfprintf(file_, format, args) < 0) fail(errno);
  va_end(args);
}

void TextFileWriter::write(const std::string& text) {
  if (file_ == nullptr || failed_) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) fail(errno);
}

bool TextFileWriter::finish() {
  if (file_ == nullptr) {
    if (failure_.empty()) failure_ = "not open";
    return false;
  }
  if (std::fflush(file_) != 0 || std::ferror(file_)) fail(errno);
#ifndef _WIN32
  if (!failed_ && !tempPath_.empty() && ::fsync(fileno(file_)) != 0) fail(errno);
#endif
  if (std::fclose(file_) != 0) fail(errno);
  file_ = nullptr;
  if (tempPath_.empty()) return !failed_;
  if (!failed_ && std::rename(tempPath_.c_str(), target_.c_str()) != 0) fail(errno);
  if (failed_) {
    std::remove(tempPath_.c_str());
    return false;
  }
  return true;
}

}  // namespace fazorn
