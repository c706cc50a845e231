// Inputs read as a stream of bytes: standard input ("-"), pipes and
// devices, and gzip-compressed files (".dat.gz", ".csv.gz", ".fits.gz", as
// archives ship them), decompressed as they are read.
#pragma once

#include <cstdio>
#include <string>

namespace fazorn {

// True for a regular file whose first bytes are gzip's magic (1f 8b).
bool isGzipFile(const std::string& path);

// Opens `path` ("-": standard input) for reading through zlib: a gzip
// stream is decompressed, anything else passes unchanged. The FILE* is
// read-only and not seekable; fclose releases it (standard input itself
// stays open). nullptr with errno set when the file cannot be opened.
std::FILE* openDecompressing(const std::string& path);

}  // namespace fazorn
