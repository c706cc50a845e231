#include "core/data_saving.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/derived_files.h"
#include "core/file_names.h"
#include "core/text_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fazorn {

namespace {

// The file a path finally names: symbolic links followed, so that the backup
// lies beside the observations, not beside a link to them.
std::string resolvedPath(const std::string& path) {
#ifndef _WIN32
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    std::string r(real);
    std::free(real);
    return r;
  }
#endif
  return path;
}

std::string fileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string originalBackupPath(const std::string& dataPath) {
  return resolvedPath(dataPath) + ".orig";
}

OriginalBackup keepOriginal(const std::string& dataPath) {
  OriginalBackup b;
  b.path = originalBackupPath(dataPath);
  std::FILE* in = std::fopen(resolvedPath(dataPath).c_str(), "rb");
  if (in == nullptr) {
    // Nothing to keep when there is no file yet; any other reason to fail
    // (unreadable) would also stop the save from reading it back, so refuse.
    b.ok = errno == ENOENT;
    if (!b.ok) b.error = std::strerror(errno);
    return b;
  }
#ifndef _WIN32
  // An existing backup (whatever it is, a link included) is never replaced
  // nor written through.
  struct stat st;
  if (::lstat(b.path.c_str(), &st) == 0) {
    std::fclose(in);
    b.ok = true;
    return b;
  }
#endif
  // The copy goes to a temporary file that takes the backup's name only
  // when complete and flushed, and never over a file of that name: a copy
  // cut short (a full disk, Ctrl+C) can never pass for the original, which
  // later saves would then keep for ever.
  TextFileWriter out(b.path, /*atomic=*/true);
  char buffer[1 << 16];
  while (out.isOpen()) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, in);
    if (n > 0) out.write(std::string(buffer, n));
    if (n < sizeof buffer) {
      if (std::ferror(in)) {
        std::fclose(in);
        b.error = "the original could not be read";
        return b;  // the writer removes its temporary file
      }
      break;
    }
  }
  std::fclose(in);
  if (!out.finish(/*replace=*/false)) {
    // Made meanwhile by another save: that backup stands.
    b.ok = out.failure() == std::strerror(EEXIST);
    if (!b.ok) b.error = "the copy could not be written (" + out.failure() + ")";
    return b;
  }
  b.ok = true;
  b.created = true;
  return b;
}

std::uint64_t savedContentFingerprint(const LightCurve& lc) {
  // FNV-1a over the bytes of each kept point.
  std::uint64_t h = 1469598103934665603ull;
  auto add = [&h](const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t k = 0; k < size; ++k) h = (h ^ p[k]) * 1099511628211ull;
  };
  const std::size_t n =
      std::min({static_cast<std::size_t>(std::max(lc.pointCount, 0)), lc.time.size(),
                lc.value.size(), lc.error.size(), lc.mark.size()});
  add(&n, sizeof n);
  for (std::size_t i = 0; i < n; ++i) {
    if (lc.mark[i] == -1) continue;
    add(&lc.time[i], sizeof(double));
    add(&lc.value[i], sizeof(double));
    add(&lc.error[i], sizeof(double));
  }
  return h;
}

Outcome saveDataKeepingOriginal(Workspace& ws) {
  // A table or FITS file is never written over ("-data" beside it): no
  // backup needed.
  if (ws.dataLoaded != 1 || !ws.files.dataFileRewritable) return saveData(ws);
  const OriginalBackup backup = keepOriginal(ws.files.dataPath);
  if (!backup.ok) {
    Outcome out;
    out.ok = false;
    out.cancelled = true;
    out.failure = Failure::Io;
    out.message = warningBox("The original could not be kept in " + backup.path + " (" +
                             backup.error + "); the data file was not overwritten.");
    return out;
  }
  Outcome out = saveData(ws);
  if (out.ok && backup.created) out.status[0] = "Original kept as " + fileNameOf(backup.path);
  return out;
}

Outcome saveDataAs(Workspace& ws, const std::string& path) {
  if (ws.dataLoaded != 1) return saveData(ws);
  const FileNameParts old = ws.files;
  splitDataPath(path, ws.files);
  ws.files.outputPath = old.outputPath;
  ws.files.dataFileRewritable = true;  // the user named it: plain numbers go there
  Outcome out = saveData(ws);
  if (!out.ok) {
    ws.files = old;
    return out;
  }
  ws.caption = "Fazorn * " + ws.files.dataPath;
  out.status[0] = "Saved as " + fileNameOf(path);
  return out;
}

}  // namespace fazorn
