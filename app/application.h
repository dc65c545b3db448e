// The installer's start-up sequence: read the list, ask for consent, find the
// installation, make sure the game is not running, copy, report.
#ifndef VX_APP_APPLICATION_H_
#define VX_APP_APPLICATION_H_

// Runs the whole update in the current directory (the patch folder), talking
// to the user through message boxes. Always returns 0, the exit code.
int RunApplication();

#endif  // VX_APP_APPLICATION_H_
