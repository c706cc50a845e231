#include "core/text_file.h"

#include <atomic>
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

namespace {

// The temporary files open in this process, for removal from a signal
// handler: fixed storage (no allocation, no lock), each entry claimed with
// a compare-and-swap. 0 = free, 1 = being filled, 2 = holds a path.
constexpr int kTempSlots = 64;
constexpr std::size_t kTempPathBytes = 4096;
struct TempSlot {
  std::atomic<int> state{0};
  char path[kTempPathBytes];
};
TempSlot gTempSlots[kTempSlots];
static_assert(std::atomic<int>::is_always_lock_free);

int registerTemporary(const std::string& path) {
  if (path.size() >= kTempPathBytes) return -1;
  for (int i = 0; i < kTempSlots; ++i) {
    int expected = 0;
    if (gTempSlots[i].state.compare_exchange_strong(expected, 1)) {
      std::memcpy(gTempSlots[i].path, path.c_str(), path.size() + 1);
      gTempSlots[i].state.store(2);
      return i;
    }
  }
  return -1;  // more than kTempSlots at once: that one is not cleaned up by a signal
}

void unregisterTemporary(int slot) {
  if (slot >= 0) gTempSlots[slot].state.store(0);
}

}  // namespace

void removeTemporaryFilesNow() noexcept {
#ifndef _WIN32
  for (auto& slot : gTempSlots)
    if (slot.state.load() == 2) ::unlink(slot.path);
#endif
}

void TextFileWriter::fail(int error) {
  if (failure_.empty()) failure_ = error != 0 ? std::strerror(error) : "write error";
  failed_ = true;
}

void TextFileWriter::fail(const std::string& why) {
  if (failure_.empty()) failure_ = why;
  failed_ = true;
}

void TextFileWriter::dropTemporary() {
  if (tempPath_.empty()) return;
  std::remove(tempPath_.c_str());
  unregisterTemporary(tempSlot_);
  tempSlot_ = -1;
}

#ifndef _WIN32
// A special file (FIFO, character or block device, socket) is written in
// place: renaming a regular file over it would replace, say, /dev/null for
// every program on the system.
void TextFileWriter::openDirect(const std::string& target, bool followLinks) {
  // Non-blocking only for the open: a FIFO nobody reads fails at once
  // (ENXIO) instead of waiting for ever.
  const int fd =
      ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    if (errno == ENXIO)
      fail("it is a pipe that no program reads");
    else
      fail(errno);
    return;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  file_ = ::fdopen(fd, "w");
  if (file_ == nullptr) {
    fail(errno);
    ::close(fd);
  }
}
#endif

TextFileWriter::TextFileWriter(std::string path, bool atomic, Links links)
    : path_(std::move(path)) {
  const bool follow = links == Links::Follow;
#ifndef _WIN32
  struct stat st;
  target_ = path_;
  // A file reached through a symbolic link is written where the link points:
  // renaming over the link itself would replace the link by a copy (or fail
  // where only the target's directory is writable).
  if (follow) {
    if (char* real = ::realpath(path_.c_str(), nullptr)) {
      target_ = real;
      std::free(real);
    }
  }
  if (::lstat(target_.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode) && !follow) {
      fail("it is a symbolic link, which derived files never follow");
      return;
    }
    if (S_ISLNK(st.st_mode)) {
      // A link whose target does not exist: replaced by the file, as before.
    } else if (S_ISDIR(st.st_mode)) {
      // A directory cannot be replaced by a file: refuse it up front.
      fail(EISDIR);
      return;
    } else if (!S_ISREG(st.st_mode)) {
      openDirect(target_, follow);
      return;
    }
  }
  if (!atomic) {
    const int fd = ::open(
        target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | (follow ? 0 : O_NOFOLLOW), 0644);
    if (fd < 0) {
      fail(errno);
      return;
    }
    file_ = ::fdopen(fd, "w");
    if (file_ == nullptr) {
      fail(errno);
      ::close(fd);
    }
    return;
  }
  int openError = 0;
  std::random_device rd;
  for (int attempt = 0; attempt < 8 && file_ == nullptr; ++attempt) {
    tempPath_ = target_ + ".tmp" + std::to_string(rd() % 1000000);
    const int fd = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0) openError = errno;
    if (fd >= 0) {
      tempSlot_ = registerTemporary(tempPath_);
      // Keep the permissions of the file being replaced.
      if (::stat(target_.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
      file_ = ::fdopen(fd, "w");
      if (file_ == nullptr) {
        openError = errno;
        ::close(fd);
        dropTemporary();
      }
    }
  }
  if (file_ == nullptr) {
    tempPath_.clear();
    fail(openError);
  }
#else
  (void)follow;
  target_ = path_;
  if (!atomic) {
    file_ = std::fopen(path_.c_str(), "w");
    if (file_ == nullptr) fail(errno);
    return;
  }
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
    dropTemporary();
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

bool TextFileWriter::finish(bool replace) {
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
#ifndef _WIN32
  if (!failed_ && !replace) {
    // A hard link is made only where no file of the name exists, and in one
    // step: the temporary file is then merely removed.
    if (::link(tempPath_.c_str(), target_.c_str()) == 0) {
      dropTemporary();
      return true;
    }
    const int e = errno;
    struct stat st;
    if (e == EEXIST || ::lstat(target_.c_str(), &st) == 0)
      fail(EEXIST);
    else if (e != EPERM && e != ENOTSUP && e != EOPNOTSUPP && e != EMLINK)
      fail(e);
    // A file system without hard links: renamed, the name being free.
  }
#endif
  if (!failed_ && std::rename(tempPath_.c_str(), target_.c_str()) != 0) fail(errno);
  if (failed_) {
    dropTemporary();
    return false;
  }
  unregisterTemporary(tempSlot_);
  tempSlot_ = -1;
  return true;
}

}  // namespace fazorn
