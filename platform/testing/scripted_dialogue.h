// A dialogue for tests: records every box and answers from a list. While it
// lives it answers every box of the process in place of the system's.
#ifndef VX_PLATFORM_TESTING_SCRIPTED_DIALOGUE_H_
#define VX_PLATFORM_TESTING_SCRIPTED_DIALOGUE_H_

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/dialog.h"

namespace platform {

// One box as it was shown (code page 932 text and caption).
struct ShownBox {
  std::string m_text;
  std::string m_caption;
  uint32_t m_style;
};

class ScriptedDialogue : public DialogueBackend {
 public:
  // Installs itself with the answers to give, in order.
  explicit ScriptedDialogue(std::vector<int> answers = {});
  // Puts the backend back that was in place before.
  ~ScriptedDialogue() override;
  ScriptedDialogue(const ScriptedDialogue&) = delete;
  ScriptedDialogue& operator=(const ScriptedDialogue&) = delete;

  // Adds an answer at the end of the list.
  void Answer(int button) { m_answers.push_back(button); }

  // Records the box and gives the next answer. Once the list is used up a box
  // answers as a terminal at the end of input: Cancel, No, or OK.
  int Show(const char* text, const char* caption, uint32_t style) override;

  const std::vector<ShownBox>& boxes() const { return m_boxes; }
  // Answers not used yet.
  size_t pending() const { return m_answers.size(); }

 private:
  std::deque<int> m_answers;
  std::vector<ShownBox> m_boxes;
  DialogueBackend* m_previous;
};

}  // namespace platform

#endif  // VX_PLATFORM_TESTING_SCRIPTED_DIALOGUE_H_
