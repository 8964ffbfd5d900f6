// Reads the technician's answer to a question from the terminal, and gives up
// at once when the run is cancelled: Ctrl-C at a question ends the run then,
// not after the next Enter.
//
// Threading: ReadLine on the runner's thread; Interrupt from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace pelvane::cli {

class AnswerReader {
 public:
  AnswerReader();
  ~AnswerReader();
  AnswerReader(const AnswerReader&) = delete;
  AnswerReader& operator=(const AnswerReader&) = delete;

  // A line of standard input without its line end; nothing when Interrupt
  // came first or input ended.
  std::optional<std::string> ReadLine();
  // Makes a waiting ReadLine return, and every later one at once.
  void Interrupt();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pelvane::cli
