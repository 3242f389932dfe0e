/* SPDX-License-Identifier: MIT */
/*
 * The least a program can do to read one entry on the pad: the system
 * calls that exPin makes, in the same order, and nothing else (no driver,
 * no standard I/O). The benchmark measures it beside exPin, so that the
 * cost of a whole run can be told from the cost of starting any program.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

static void ignore(int sig) { (void)sig; }

int main(void) {
  static const int endings[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
  struct sigaction act = {0};
  act.sa_handler = ignore;
  sigemptyset(&act.sa_mask);
  for (unsigned i = 0; i < sizeof endings / sizeof endings[0]; ++i) {
    struct sigaction old;
    sigaction(endings[i], NULL, &old);
    sigaction(endings[i], &act, NULL);
  }

  const int port = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port < 0) return 255;
  struct termios saved;
  struct termios pad = {0};
  tcgetattr(port, &saved);
  pad.c_iflag = IGNPAR;
  pad.c_cflag = B2400 | CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;
  pad.c_cc[VMIN] = 1;
  tcsetattr(port, TCSANOW, &pad);
  tcflush(port, TCIFLUSH);
  fcntl(port, F_SETFL, fcntl(port, F_GETFL) & ~O_NONBLOCK);

  static const char prompt[] = "Digite <*> para sair \n";
  if (write(STDOUT_FILENO, prompt, sizeof prompt - 1) < 0) return 1;
  char entry[256];
  int n = 0;
  while (read(port, entry + n, 1) == 1 && entry[n] != '#' && entry[n] != '*') n += n < 255 ? 1 : 0;
  entry[n] = '\0';
  char line[300];
  const int length = snprintf(line, sizeof line, "%s[%d]\n", entry, n);
  tcsetattr(port, TCSANOW, &saved);
  return write(STDOUT_FILENO, line, (size_t)length) == length ? 0 : 1;
}
