// Undo and redo of the commands that change the observations or their marks.
//
// A step stores only what its command changed: for each array of the light
// curve and of the phases the changed elements (same length), the dropped
// elements (points removed), or the stretch between the unchanged start and
// end (points added), plus a copy of the Workspace's small fields (texts, statistics,
// results, flags) from before and after. The periodogram arrays are never
// copied: no recorded command changes them.
//
// Memory is bounded by a budget (256 MiB by default): when the steps hold
// more, the oldest are dropped; the newest step is always kept, so one undo
// level exists even for a light curve whose step alone exceeds the budget.
//
// Undo after further commands that were not recorded (a search, manual
// phasing): the observations and marks come back exactly, and the
// rest is brought in line as an editing command would: the results of the
// later commands are kept, the statistics recomputed and, when the light
// curve is phased, the phases refreshed at the current period and epoch.
// When nothing happened in between, the whole Workspace returns bit for bit
// to its state before the command, except the records of files written and
// read (file names, caption, the randomisation file counter, the search
// settings last read), which undo never takes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "core/outcome.h"
#include "core/workspace.h"

namespace fazorn {

class UndoHistory {
 public:
  static constexpr std::size_t kDefaultBudgetBytes = std::size_t{256} << 20;

  explicit UndoHistory(std::size_t budgetBytes = kDefaultBudgetBytes);
  ~UndoHistory();
  UndoHistory(const UndoHistory&) = delete;
  UndoHistory& operator=(const UndoHistory&) = delete;

  // Before a command that may change the observations or marks: copies the
  // arrays and small fields it may change. The Workspace is only borrowed
  // (its large arrays are moved aside during the copy and put back).
  void begin(Workspace& ws);
  // After it: records the step under `name` when the light curve, its marks
  // or the phases changed (compared bit for bit), and empties the redo list.
  // False when nothing changed or begin() was not called.
  bool commit(Workspace& ws, std::string name);
  // Drops the copy of begin() without recording anything.
  void abandon();

  bool canUndo() const { return !undo_.empty(); }
  bool canRedo() const { return !redo_.empty(); }
  // Names of the step undo() and redo() would take back or repeat; empty
  // when there is none.
  std::string undoName() const;
  std::string redoName() const;

  // Takes back the newest step / repeats the last undone one. The outcome
  // asks for the light curve, the phase diagram and the results panel to be
  // redrawn. When the observations were changed by something the history did
  // not record (their arrays no longer match the step), nothing is changed,
  // the history is emptied and the outcome says why.
  Outcome undo(Workspace& ws);
  Outcome redo(Workspace& ws);

  // Forgets every step (a new file was opened).
  void clear();

  // Identifies the observations' state along the history: it changes with
  // every recorded step, undo and redo, and returns to an earlier value when
  // undo or redo return to that state. The window compares it with the value
  // at the last save to know whether there are unsaved changes.
  std::uint64_t stateId() const { return currentId_; }

  std::size_t undoCount() const { return undo_.size(); }
  std::size_t redoCount() const { return redo_.size(); }
  // Bytes held by the recorded steps (approximate for the small fields).
  std::size_t bytes() const { return bytes_; }
  std::size_t budgetBytes() const { return budget_; }

  struct Step;  // defined in the source

 private:
  struct Snapshot;
  Outcome apply(Workspace& ws, bool backwards);
  void trim();

  std::size_t budget_;
  std::size_t bytes_ = 0;
  std::deque<std::unique_ptr<Step>> undo_;  // oldest first
  std::deque<std::unique_ptr<Step>> redo_;  // next to redo last
  std::unique_ptr<Snapshot> pending_;
  std::uint64_t nextId_ = 1;
  std::uint64_t currentId_ = 0;
};

}  // namespace fazorn
