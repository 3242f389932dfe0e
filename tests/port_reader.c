/* SPDX-License-Identifier: MIT */
/*
 * port_reader: reads keys from /dev/ttyS0 until "#", waiting for each in
 * the way its argument names, and prints them. The tool's tests use it to
 * show that a key reaches a program however it waits for input:
 *
 *   read, readv, poll, select, epoll   wait in that call
 *   nonblock                           tries without blocking, sleeping between tries
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int waitFor(const char *how, int port) {
  if (strcmp(how, "poll") == 0) {
    struct pollfd p = {port, POLLIN, 0};
    return poll(&p, 1, -1) == 1 ? 0 : -1;
  }
  if (strcmp(how, "select") == 0) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(port, &readable);
    return select(port + 1, &readable, NULL, NULL, NULL) == 1 ? 0 : -1;
  }
  if (strcmp(how, "epoll") == 0) {
    static int ep = -1;
    struct epoll_event e = {EPOLLIN, {0}};
    if (ep < 0 && ((ep = epoll_create1(EPOLL_CLOEXEC)) < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, port, &e) != 0)) return -1;
    return epoll_wait(ep, &e, 1, -1) == 1 ? 0 : -1;
  }
  return 0; /* read and readv wait in the read itself */
}

static ssize_t take(const char *how, int port, char *key) {
  if (strcmp(how, "readv") == 0) {
    struct iovec v = {key, 1};
    return readv(port, &v, 1);
  }
  if (strcmp(how, "nonblock") == 0) {
    const struct timespec pause = {0, 2000000};
    ssize_t n;
    while ((n = read(port, key, 1)) < 0 && errno == EAGAIN) nanosleep(&pause, NULL);
    return n;
  }
  return read(port, key, 1);
}

int main(int argc, char **argv) {
  const char *how = argc > 1 ? argv[1] : "read";
  const int port = open("/dev/ttyS0", O_RDWR | O_NOCTTY | (strcmp(how, "nonblock") == 0 ? O_NONBLOCK : 0));
  struct termios raw;
  if (port < 0 || tcgetattr(port, &raw) != 0) {
    perror("/dev/ttyS0");
    return 1;
  }
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(port, TCSANOW, &raw);
  char key = 0;
  while (waitFor(how, port) == 0 && take(how, port, &key) == 1 && key != '#') putchar(key);
  putchar('\n');
  return key == '#' ? 0 : 1;
}
