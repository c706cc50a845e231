#include "core/undo_history.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "core/results_panel.h"
#include "core/statistics.h"

namespace fazorn {

namespace {

// Elements compare by their bits: a value that is not a number equals
// itself, and -0 differs from 0, so a restored array is the same bit for bit.
template <typename T>
bool sameBits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// The change of one array between two states, both ways, in the smallest of
// three forms: the changed elements of an array that kept its length; the
// elements dropped from it (the after state a subsequence of the before
// state, as "Remove marked points" leaves it); or the stretch between the
// unchanged start and end.
template <typename T>
struct ArrayPatch {
  enum class Form { Changed, Dropped, Stretch };
  Form form = Form::Changed;
  std::size_t beforeSize = 0;
  // Changed: the positions; Dropped: the positions in the before state.
  std::vector<std::uint32_t> index;
  // Changed: values at the positions before and after; Dropped: the dropped
  // values (after empty); Stretch: the differing stretches.
  std::vector<T> before;
  std::vector<T> after;
  // Stretch: elements kept at the start and at the end.
  std::size_t prefix = 0;
  std::size_t suffix = 0;

  static ArrayPatch make(const std::vector<T>& a, const std::vector<T>& b) {
    ArrayPatch p;
    p.beforeSize = a.size();
    if (a.size() == b.size()) {
      for (std::size_t i = 0; i < a.size(); ++i)
        if (!sameBits(a[i], b[i])) {
          p.index.push_back(static_cast<std::uint32_t>(i));
          p.before.push_back(a[i]);
          p.after.push_back(b[i]);
        }
      return p;
    }
    if (b.size() < a.size()) {
      // Greedy matching finds a set of dropped elements whenever b is a
      // subsequence of a; with equal values it may pick other positions than
      // the command did, which restores the same bits all the same.
      std::size_t j = 0;
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (j < b.size() && sameBits(a[i], b[j])) {
          ++j;
        } else {
          p.index.push_back(static_cast<std::uint32_t>(i));
          p.before.push_back(a[i]);
        }
      }
      if (j == b.size()) {
        p.form = Form::Dropped;
        return p;
      }
      p.index.clear();
      p.before.clear();
    }
    p.form = Form::Stretch;
    const std::size_t common = std::min(a.size(), b.size());
    while (p.prefix < common && sameBits(a[p.prefix], b[p.prefix])) ++p.prefix;
    while (p.suffix < common - p.prefix &&
           sameBits(a[a.size() - 1 - p.suffix], b[b.size() - 1 - p.suffix]))
      ++p.suffix;
    p.before.assign(a.begin() + static_cast<std::ptrdiff_t>(p.prefix),
                    a.end() - static_cast<std::ptrdiff_t>(p.suffix));
    p.after.assign(b.begin() + static_cast<std::ptrdiff_t>(p.prefix),
                   b.end() - static_cast<std::ptrdiff_t>(p.suffix));
    return p;
  }

  bool empty() const { return form == Form::Changed && index.empty(); }

  std::size_t bytes() const {
    return index.size() * sizeof(std::uint32_t) + (before.size() + after.size()) * sizeof(T);
  }

  // Turns the after state into the before state (backwards) or the reverse.
  // False, with v untouched, when v does not have the expected length.
  bool apply(std::vector<T>& v, bool backwards) const {
    switch (form) {
      case Form::Changed: {
        if (v.size() != beforeSize) return false;
        const std::vector<T>& to = backwards ? before : after;
        for (std::size_t k = 0; k < index.size(); ++k) v[index[k]] = to[k];
        return true;
      }
      case Form::Dropped: {
        const std::size_t afterSize = beforeSize - index.size();
        if (v.size() != (backwards ? afterSize : beforeSize)) return false;
        if (backwards) {
          std::vector<T> full(beforeSize);
          std::size_t k = 0, j = 0;
          for (std::size_t i = 0; i < beforeSize; ++i)
            full[i] = (k < index.size() && index[k] == i) ? before[k++] : v[j++];
          v = std::move(full);
        } else {
          std::size_t k = 0, j = 0;
          for (std::size_t i = 0; i < beforeSize; ++i)
            if (k < index.size() && index[k] == i)
              ++k;
            else
              v[j++] = v[i];
          v.resize(afterSize);
        }
        return true;
      }
      case Form::Stretch: {
        const std::vector<T>& from = backwards ? after : before;
        const std::vector<T>& to = backwards ? before : after;
        if (v.size() != prefix + suffix + from.size()) return false;
        const auto at = v.begin() + static_cast<std::ptrdiff_t>(prefix);
        v.erase(at, at + static_cast<std::ptrdiff_t>(from.size()));
        v.insert(v.begin() + static_cast<std::ptrdiff_t>(prefix), to.begin(), to.end());
        return true;
      }
    }
    return false;
  }
};

// The double arrays a recorded command may change: the light curve's six,
// then the two of the phases.
constexpr std::size_t kValueArrays = 8;
constexpr std::size_t kLightCurveValueArrays = 6;

std::array<std::vector<double>*, kValueArrays> valueArrays(Workspace& ws) {
  LightCurve& lc = ws.lightCurve;
  return {&lc.time,         &lc.value,        &lc.error, &lc.weight,
          &lc.scratchValue, &lc.scratchError, &ws.phase, &ws.phasedValue};
}

// Moves the large arrays out of a Workspace for the life of the object, so
// that the rest can be copied, compared or assigned cheaply.
class LargeArraysAside {
 public:
  explicit LargeArraysAside(Workspace& ws) : ws_(ws) {
    const auto arrays = valueArrays(ws);
    for (std::size_t k = 0; k < kValueArrays; ++k) values_[k] = std::move(*arrays[k]);
    mark_ = std::move(ws.lightCurve.mark);
    frequency_ = std::move(ws.periodogram.frequency);
    power_ = std::move(ws.periodogram.power);
    for (std::size_t k = 0; k < kValueArrays; ++k) arrays[k]->clear();
    ws.lightCurve.mark.clear();
    ws.periodogram.frequency.clear();
    ws.periodogram.power.clear();
  }
  ~LargeArraysAside() {
    const auto arrays = valueArrays(ws_);
    for (std::size_t k = 0; k < kValueArrays; ++k) *arrays[k] = std::move(values_[k]);
    ws_.lightCurve.mark = std::move(mark_);
    ws_.periodogram.frequency = std::move(frequency_);
    ws_.periodogram.power = std::move(power_);
  }
  LargeArraysAside(const LargeArraysAside&) = delete;
  LargeArraysAside& operator=(const LargeArraysAside&) = delete;

 private:
  Workspace& ws_;
  std::array<std::vector<double>, kValueArrays> values_;
  std::vector<std::int32_t> mark_;
  std::vector<double> frequency_, power_;
};

Workspace smallCopy(Workspace& ws) {
  LargeArraysAside aside(ws);
  Workspace copy = ws;
  return copy;
}

// Records of what was written and read, not state the views show: the file
// names (a save or "Save Data As..." changes them), the caption, the counter
// of the randomisation files and the search settings last read from the
// fields. Undo and redo leave them as they are and ignore them when telling
// whether anything happened since a step.
struct Bookkeeping {
  FileNameParts files;
  std::string caption;
  int randomizationRunCounter = 0;
  SearchSettings settings;

  static Bookkeeping of(const Workspace& ws) {
    return {ws.files, ws.caption, ws.randomizationRunCounter, ws.settings};
  }
  void putInto(Workspace& ws) const {
    ws.files = files;
    ws.caption = caption;
    ws.randomizationRunCounter = randomizationRunCounter;
    ws.settings = settings;
  }
};

bool smallEquals(Workspace& ws, const Workspace& small) {
  LargeArraysAside aside(ws);
  Workspace other = small;
  Bookkeeping::of(ws).putInto(other);
  return ws == other;
}

void assignSmall(Workspace& ws, const Workspace& small) {
  LargeArraysAside aside(ws);
  const Bookkeeping kept = Bookkeeping::of(ws);
  ws = small;
  kept.putInto(ws);
}

std::size_t smallBytes(const Workspace& w) {
  std::size_t n = sizeof(Workspace) + w.caption.size() + w.typeText.size() + w.scoreText.size();
  for (const std::string* s : {&w.files.dataPath, &w.files.outputPath, &w.files.drive,
                               &w.files.directory, &w.files.baseName, &w.files.extension})
    n += s->size();
  n += 20 * 16;  // the panel's short texts
  n += (w.modelCurve.A.size() + w.modelCurve.B.size()) * sizeof(double);
  return n;
}

std::uint64_t hashBytes(std::uint64_t seed, const void* data, std::size_t size) {
  const std::uint64_t h =
      std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(data), size));
  return seed ^ (h + 0x9E3779B97F4A7C15ull + (seed << 6) + (seed >> 2));
}

template <typename T>
std::uint64_t hashArray(std::uint64_t seed, const std::vector<T>& v) {
  const std::uint64_t n = v.size();
  seed = hashBytes(seed, &n, sizeof n);
  return hashBytes(seed, v.data(), v.size() * sizeof(T));
}

// Fingerprints of the observations (with their marks) and of the phases, to
// tell whether a state is still the one a step left.
std::uint64_t lightCurveHash(Workspace& ws) {
  const auto arrays = valueArrays(ws);
  std::uint64_t h = static_cast<std::uint64_t>(ws.lightCurve.pointCount);
  for (std::size_t k = 0; k < kLightCurveValueArrays; ++k) h = hashArray(h, *arrays[k]);
  return hashArray(h, ws.lightCurve.mark);
}

std::uint64_t phaseHash(Workspace& ws) {
  std::uint64_t h = static_cast<std::uint64_t>(ws.phased);
  h = hashArray(h, ws.phase);
  return hashArray(h, ws.phasedValue);
}

}  // namespace

struct UndoHistory::Snapshot {
  std::array<std::vector<double>, kValueArrays> values;
  std::vector<std::int32_t> mark;
  Workspace small;
};

struct UndoHistory::Step {
  std::string name;
  std::array<ArrayPatch<double>, kValueArrays> values;
  ArrayPatch<std::int32_t> mark;
  Workspace before, after;  // the small fields
  std::uint64_t lightCurveBefore = 0, lightCurveAfter = 0;
  std::uint64_t phasesBefore = 0, phasesAfter = 0;
  std::uint64_t beforeId = 0, afterId = 0;
  std::size_t bytes = 0;
};

UndoHistory::UndoHistory(std::size_t budgetBytes) : budget_(budgetBytes) {}
UndoHistory::~UndoHistory() = default;

void UndoHistory::begin(Workspace& ws) {
  auto s = std::make_unique<Snapshot>();
  const auto arrays = valueArrays(ws);
  for (std::size_t k = 0; k < kValueArrays; ++k) s->values[k] = *arrays[k];
  s->mark = ws.lightCurve.mark;
  s->small = smallCopy(ws);
  pending_ = std::move(s);
}

void UndoHistory::abandon() { pending_.reset(); }

bool UndoHistory::commit(Workspace& ws, std::string name) {
  if (!pending_) return false;
  const std::unique_ptr<Snapshot> before = std::move(pending_);
  auto step = std::make_unique<Step>();
  const auto arrays = valueArrays(ws);
  bool changed = false;
  for (std::size_t k = 0; k < kValueArrays; ++k) {
    step->values[k] = ArrayPatch<double>::make(before->values[k], *arrays[k]);
    changed = changed || !step->values[k].empty();
  }
  step->mark = ArrayPatch<std::int32_t>::make(before->mark, ws.lightCurve.mark);
  changed = changed || !step->mark.empty();
  if (!changed) return false;

  step->name = std::move(name);
  step->before = std::move(before->small);
  step->after = smallCopy(ws);
  step->lightCurveAfter = lightCurveHash(ws);
  step->phasesAfter = phaseHash(ws);
  {
    // The fingerprints of the before state, from the snapshot's arrays.
    Workspace probe;
    probe.lightCurve.pointCount = step->before.lightCurve.pointCount;
    probe.phased = step->before.phased;
    const auto probeArrays = valueArrays(probe);
    for (std::size_t k = 0; k < kValueArrays; ++k) *probeArrays[k] = std::move(before->values[k]);
    probe.lightCurve.mark = std::move(before->mark);
    step->lightCurveBefore = lightCurveHash(probe);
    step->phasesBefore = phaseHash(probe);
  }
  step->bytes = step->mark.bytes() + smallBytes(step->before) + smallBytes(step->after);
  for (const auto& p : step->values) step->bytes += p.bytes();
  step->beforeId = currentId_;
  step->afterId = nextId_++;
  currentId_ = step->afterId;

  for (const auto& r : redo_) bytes_ -= r->bytes;
  redo_.clear();
  bytes_ += step->bytes;
  undo_.push_back(std::move(step));
  trim();
  return true;
}

void UndoHistory::trim() {
  // The oldest undo steps go first, then the farthest redo steps; the step
  // the next undo takes back stays.
  while (bytes_ > budget_) {
    std::deque<std::unique_ptr<Step>>* from = nullptr;
    if (undo_.size() > 1)
      from = &undo_;
    else if (!redo_.empty())
      from = &redo_;
    else
      break;
    bytes_ -= from->front()->bytes;
    from->pop_front();
  }
}

std::string UndoHistory::undoName() const {
  return undo_.empty() ? std::string() : undo_.back()->name;
}
std::string UndoHistory::redoName() const {
  return redo_.empty() ? std::string() : redo_.back()->name;
}

void UndoHistory::clear() {
  undo_.clear();
  redo_.clear();
  pending_.reset();
  bytes_ = 0;
  currentId_ = nextId_++;
}

Outcome UndoHistory::undo(Workspace& ws) { return apply(ws, true); }
Outcome UndoHistory::redo(Workspace& ws) { return apply(ws, false); }

Outcome UndoHistory::apply(Workspace& ws, bool backwards) {
  std::deque<std::unique_ptr<Step>>& source = backwards ? undo_ : redo_;
  std::deque<std::unique_ptr<Step>>& target = backwards ? redo_ : undo_;
  Outcome out;
  if (source.empty()) {
    out.ok = false;
    out.cancelled = true;
    return out;
  }
  Step& step = *source.back();
  const Workspace& expected = backwards ? step.after : step.before;
  const Workspace& wanted = backwards ? step.before : step.after;

  if (lightCurveHash(ws) != (backwards ? step.lightCurveAfter : step.lightCurveBefore)) {
    clear();
    out.ok = false;
    out.message = warningBox(
        "The observations were changed by a command that cannot be undone; the undo history "
        "has been cleared.");
    return out;
  }
  const bool untouched = phaseHash(ws) == (backwards ? step.phasesAfter : step.phasesBefore) &&
                         smallEquals(ws, expected);

  const auto arrays = valueArrays(ws);
  for (std::size_t k = 0; k < kLightCurveValueArrays; ++k)
    step.values[k].apply(*arrays[k], backwards);
  step.mark.apply(ws.lightCurve.mark, backwards);
  if (untouched) {
    for (std::size_t k = kLightCurveValueArrays; k < kValueArrays; ++k)
      step.values[k].apply(*arrays[k], backwards);
    assignSmall(ws, wanted);
  } else {
    // Later commands changed the results: keep them, and refresh what
    // depends on the observations as an editing command does.
    ws.lightCurve.pointCount = wanted.lightCurve.pointCount;
    ws.normalized = wanted.normalized;
    ws.lastClickTime = wanted.lastClickTime;
    ws.previousClickTime = wanted.previousClickTime;
    refreshLightCurveStatistics(ws);
    if (ws.phased == 1) refreshPhasing(ws);
  }

  currentId_ = backwards ? step.beforeId : step.afterId;
  out.status[0] = (backwards ? "Undone: " : "Redone: ") + step.name;
  out.redraw.lightCurve = true;
  out.redraw.phaseDiagram = true;
  out.redraw.results = true;
  target.push_back(std::move(source.back()));
  source.pop_back();
  return out;
}

}  // namespace fazorn
