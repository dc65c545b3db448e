// The installer's start-up sequence: read the list, ask for consent, find the
// installation, make sure the game is not running, copy, report.
#ifndef VX_APP_APPLICATION_H_
#define VX_APP_APPLICATION_H_

// How a run ended.
enum class RunOutcome {
  kEndedEarly,     // before the final message: a refusal, a decline, an abort
  kUpdated,        // the final message showed and every matched file was copied
  kUpdatedPartly,  // the final message showed but some matched file was not copied
};

// Runs the whole update in the current directory (the patch folder), talking
// to the user through message boxes, and says how it ended. The Windows
// program returns 0 whatever the outcome; the Linux one makes it its status.
RunOutcome RunApplication();

#endif  // VX_APP_APPLICATION_H_
