// Signals on POSIX: the one record that the platform layer keeps between
// calls, of the temporary files in flight, and the handler that removes them
// before the process ends by the signal.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/os.h"
#include "platform/posix.h"

namespace {

// The files that a signal's end of the process removes: the temporary files
// of a pair and the link that keeps the previous script.  A slot is taken
// once its file exists and freed before the file goes, so that the handler
// never removes a name that another program may have taken since.
struct InFlight {
  volatile sig_atomic_t directory;  // its descriptor + 1; 0 for a free slot
  char name[OUTPUT_NAME_CAPACITY];
};
InFlight in_flight[3];

const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void end_by_signal(int number) {
  for (InFlight& slot : in_flight) {
    if (slot.directory != 0)
      unlinkat(slot.directory - 1, slot.name, 0);
  }
  signal(number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, number);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(number);
}

}  // namespace

void note_in_flight(const Directory* directory, const char* name) {
  for (InFlight& slot : in_flight) {
    if (slot.directory == 0) {
      snprintf(slot.name, sizeof slot.name, "%s", name);
      slot.directory = directory->fd + 1;
      return;
    }
  }
}

void landed(const Directory* directory, const char* name) {
  for (InFlight& slot : in_flight) {
    if (slot.directory == directory->fd + 1 && strcmp(slot.name, name) == 0)
      slot.directory = 0;
  }
}

void signals_hold(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  for (int number : ENDING_SIGNALS)
    sigaddset(&set, number);
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void signals_install() {
  for (int number : ENDING_SIGNALS) {
    struct sigaction action;
    // A signal ignored from the start (nohup) stays ignored.
    if (sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
      continue;
    memset(&action, 0, sizeof action);
    action.sa_handler = end_by_signal;
    sigfillset(&action.sa_mask);
    sigaction(number, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
}
