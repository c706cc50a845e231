// What an operation asks its front end to show. Core operations never show
// anything themselves: the window turns an Outcome into message boxes, status
// texts and redraws, the command line into stderr lines and an exit status.
#pragma once

#include <array>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fazorn {

// Icons of the modal message boxes. "Exclamation" is the warning triangle used
// for rejected input and file errors; "None" is a plain message.
enum class MessageIcon { None, Information, Exclamation, Error };

// One modal message box with an OK button.
struct Message {
  std::string text;
  std::string caption;
  MessageIcon icon = MessageIcon::None;
};

// The three panels of the status bar (0 = results, 1 = progress/read-out,
// 2 = small third panel). An empty optional leaves a panel as it is; an empty
// string clears it.
using StatusTexts = std::array<std::optional<std::string>, 3>;

// Which views the front end must redraw from the Workspace afterwards.
struct Redraws {
  bool lightCurve = false;        // chart 1 and the light-curve statistics labels
  bool phaseDiagram = false;      // chart 2 (only shown while phased)
  bool periodogram = false;       // chart 3 refilled from the periodogram arrays
  bool clearPeriodogram = false;  // chart 3 emptied (arrays are kept)
  bool results = false;           // the results panel texts and the command states
};

// Why a command failed, for front ends that map failures to kinds of their
// own (the Python module's exceptions) rather than to message texts:
//   Input        the data or file content cannot give what was asked (a file
//                with no observation, a table without the columns)
//   Io           a file could not be opened, read or written
//   Refused      settings or input the command refuses (a period range, a
//                light curve too short for the search)
//   Cancelled    stopped by the user
//   OutOfMemory  not enough memory for the command
enum class Failure { None, Input, Io, Refused, Cancelled, OutOfMemory };

struct Outcome {
  // False when the command was refused or failed (bad input, unreadable file,
  // cancelled). The command line turns this into a non-zero exit status.
  bool ok = true;
  // True when the command was refused, had nothing to act on or was
  // cancelled by the user, and left the Workspace's data and results as
  // they were (a command may still have stored or raised its settings).
  bool cancelled = false;
  // Set with ok = false by the commands that fail for one of these reasons.
  Failure failure = Failure::None;
  std::optional<Message> message;
  StatusTexts status;
  // Non-modal remarks: shown in the status bar by the window and on stderr by
  // the command line (for instance where reading stopped early).
  std::vector<std::string> notes;
  Redraws redraw;

  void addNote(std::string note) { notes.push_back(std::move(note)); }
};

// Shorthand for the program's standard boxes.
inline Message warningBox(std::string text) {
  return {std::move(text), "WARNING!", MessageIcon::Exclamation};
}
inline Message ioErrorBox() {
  return {"I/O Error! Unable to open file.", "Message", MessageIcon::Exclamation};
}
inline Message informationBox(std::string text) {
  return {std::move(text), "Message", MessageIcon::Information};
}

// A command that ran out of memory: refused with a box instead of ending
// the program. `what` completes "Not enough memory for ...".
inline Outcome notEnoughMemory(const std::string& what) {
  Outcome out;
  out.ok = false;
  out.failure = Failure::OutOfMemory;
  out.message = Message{"Not enough memory for " + what +
                            ". Close other programs or work on a smaller light curve or grid.",
                        "Message", MessageIcon::Exclamation};
  return out;
}

// Runs operation() and turns running out of memory (an allocation that
// failed, or an array longer than the library can hold) into
// notEnoughMemory(what). For the front ends, around one command.
template <class Operation>
Outcome runGuardingMemory(const std::string& what, Operation&& operation) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return notEnoughMemory(what);
  } catch (const std::length_error&) {
    return notEnoughMemory(what);
  }
}

}  // namespace fazorn
