// Splitting the data file's path and naming derived files beside it.
#pragma once

#include <string>
#include <string_view>

#include "core/workspace.h"

namespace fazorn {

// Splits `path` into drive, directory (with its trailing separator), base
// name and extension (with its leading dot) and stores them, with the path
// itself as dataPath, in `parts`. A leading dot of a file name (".hidden")
// belongs to the name, not to an extension.
void splitDataPath(std::string_view path, FileNameParts& parts);

// drive + directory + base name + suffix + extension: "star.dat" with
// "-period" gives "star-period.dat" in the same directory.
std::string derivedFilePath(const FileNameParts& parts, std::string_view suffix);

// The derived-file suffixes.
namespace suffix {
inline constexpr const char* period = "-period";
inline constexpr const char* phased = "-phased";
inline constexpr const char* binned = "-binned";
inline constexpr const char* nightBin = "-NightBin";
inline constexpr const char* phasedBinned = "-phasedBinned";
inline constexpr const char* minuteBin01 = "-01minBin";
inline constexpr const char* minuteBin02 = "-02minBin";
inline constexpr const char* minuteBin03 = "-03minBin";
inline constexpr const char* minuteBin05 = "-05minBin";
inline constexpr const char* minuteBin10 = "-10minBin";
inline constexpr const char* mag = "-mag";
inline constexpr const char* flux = "-flux";
inline constexpr const char* data = "-data";
}  // namespace suffix

// Fixed file names, opened in the current working directory.
namespace fixedName {
inline constexpr const char* templateFile = "template.dat";
inline constexpr const char* whiteNoiseTest = "test-b.dat";
inline constexpr const char* permutationTest = "rand-permute%d.dat";
inline constexpr const char* permutationAovTest = "rand-permuteAoV%d.dat";
}  // namespace fixedName

}  // namespace fazorn
