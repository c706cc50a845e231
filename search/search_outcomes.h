// The two ways a search command ends without a result, shared by the
// window's commands and the searches that follow the data.
#pragma once

#include <string>

#include "core/outcome.h"

namespace fazorn {

// Bad settings or input: the warning box; nothing changed.
inline Outcome refusedSearch(const std::string& text) {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.message = warningBox(text);
  return out;
}

// Cancelled by the user: a note instead of a box; nothing changed.
inline Outcome cancelledSearch() {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.status[1] = "";
  out.addNote("Search cancelled; nothing changed.");
  return out;
}

}  // namespace fazorn
