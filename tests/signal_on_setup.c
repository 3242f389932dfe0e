/* SPDX-License-Identifier: MIT */
/*
 * Preloaded into exPin to check its start-up order:
 * - a SIGTERM arrives the very moment the pad's settings have taken
 *   effect, the worst time for a program that would put the earlier
 *   settings back only once it waits for keys;
 * - input dropped while the earlier settings are still on is reported on
 *   standard error: a byte arriving just after the drop would be taken
 *   under them.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

typedef int SetAttr(int, int, const struct termios *);
typedef int Flush(int, int);

/* Only the pad's settings have hardware flow control. */
static int padSettingsOn(const struct termios *settings) { return (settings->c_cflag & CRTSCTS) != 0; }

int tcsetattr(int port, int when, const struct termios *settings) {
  SetAttr *real = NULL;
  *(void **)&real = dlsym(RTLD_NEXT, "tcsetattr");
  const int result = real(port, when, settings);
  if (padSettingsOn(settings)) raise(SIGTERM);
  return result;
}

int tcflush(int port, int queue) {
  Flush *real = NULL;
  *(void **)&real = dlsym(RTLD_NEXT, "tcflush");
  struct termios now;
  if (tcgetattr(port, &now) == 0 && !padSettingsOn(&now)) {
    static const char kEarly[] = "input dropped under the earlier settings\n";
    if (write(STDERR_FILENO, kEarly, sizeof kEarly - 1) < 0) return -1;
  }
  return real(port, queue);
}
