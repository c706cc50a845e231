// The FITS reader behind importTable: binary (and ASCII) table extensions
// read with cfitsio. Space-mission light curves (TESS, Kepler, K2) are
// recognised by their columns; other tables are read by column names as the
// text tables are.
#pragma once

#include <string>

#include "core/table_import.h"

namespace fazorn {

TableImport importFitsTable(const std::string& path, const ImportOptions& options);

}  // namespace fazorn
