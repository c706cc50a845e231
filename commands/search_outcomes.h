// How a search command ends, shared by the window's commands and the
// searches that follow the data: with a result, refused or cancelled.
#pragma once

#include <string>

#include "core/outcome.h"

namespace fazorn {

// A result stored: the second status line cleared, the phase diagram, the
// periodogram and the results redrawn.
inline Outcome finishedSearch() {
  Outcome out;
  out.status[1] = "";
  out.redraw.phaseDiagram = true;
  out.redraw.periodogram = true;
  out.redraw.results = true;
  return out;
}

// Bad settings or input: the warning box; nothing changed.
inline Outcome refusedSearch(const std::string& text) {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.failure = Failure::Refused;
  out.message = warningBox(text);
  return out;
}

// Cancelled by the user: a note instead of a box; nothing changed.
inline Outcome cancelledSearch() {
  Outcome out;
  out.ok = false;
  out.cancelled = true;
  out.failure = Failure::Cancelled;
  out.status[1] = "";
  out.addNote("Search cancelled; nothing changed.");
  return out;
}

}  // namespace fazorn
