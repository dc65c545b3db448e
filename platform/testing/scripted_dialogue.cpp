#include "platform/testing/scripted_dialogue.h"

namespace platform {

ScriptedDialogue::ScriptedDialogue(std::vector<int> answers)
    : m_answers(answers.begin(), answers.end()), m_previous(SetDialogueBackend(this)) {}

ScriptedDialogue::~ScriptedDialogue() { SetDialogueBackend(m_previous); }

int ScriptedDialogue::Show(const char* text, const char* caption, uint32_t style) {
  m_boxes.push_back({text != nullptr ? text : "", caption != nullptr ? caption : "", style});
  if (!m_answers.empty()) {
    int answer = m_answers.front();
    m_answers.pop_front();
    return answer;
  }
  switch (style & 0x0F) {
    case 0x01:
      return kButtonCancel;
    case 0x04:
      return kButtonNo;
    default:
      return kButtonOk;
  }
}

}  // namespace platform
