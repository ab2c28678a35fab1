// Ctrl+C on Windows: the one record that the platform layer keeps between
// calls, of the temporary files in flight, and the console control handler
// that removes them before the process ends.
#include <windows.h>

#include <cwchar>

#include "platform/os.h"
#include "platform/win32.h"

namespace {

// The files that Ctrl+C and Ctrl+Break remove before the process ends: the
// temporary files in flight and the link that keeps the previous script.
// The handler runs on a thread of its own; a slot is taken once its file
// exists and freed before the file takes its name.
struct InFlight {
  volatile LONG taken;
  wchar_t path[WIDE_CAPACITY];
};
InFlight in_flight[3];

BOOL WINAPI end_by_control(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    for (InFlight& slot : in_flight) {
      if (slot.taken != 0)
        DeleteFileW(slot.path);
    }
  }
  return FALSE;  // the process ends as it would have without the handler
}

}  // namespace

void note_in_flight(const Directory* directory, const char* name) {
  WidePath path;
  if (!path_in(directory, name, &path))
    return;
  for (InFlight& slot : in_flight) {
    if (slot.taken == 0) {
      wcscpy(slot.path, path.text);
      InterlockedExchange(&slot.taken, 1);
      return;
    }
  }
}

void landed(const Directory* directory, const char* name) {
  WidePath path;
  if (!path_in(directory, name, &path))
    return;
  for (InFlight& slot : in_flight) {
    if (slot.taken != 0 && wcscmp(slot.path, path.text) == 0)
      InterlockedExchange(&slot.taken, 0);
  }
}

// Nothing is held back: the control handler runs on a thread of its own, and
// the process ends once it returns.
void signals_hold(bool) {}

void signals_install() {
  SetConsoleCtrlHandler(end_by_control, TRUE);
}
