/* SPDX-License-Identifier: MIT */
/*
 * A program that uses the driver and handles a signal of its own, as a
 * point-of-sale program might (a timer, a reload request). Its handler is
 * installed without SA_RESTART, so the signal interrupts the driver's
 * read. Written in C: it also shows that C programs can use the driver.
 */
#include "pin.h"

#include <signal.h>
#include <stdio.h>

static volatile sig_atomic_t signals = 0;

static void count(int sig) {
  (void)sig;
  signals = signals + 1;
}

int main(void) {
  struct sigaction act = {0};
  act.sa_handler = count;
  sigemptyset(&act.sa_mask);
  sigaction(SIGUSR1, &act, NULL);

  struct termios saved;
  char entry[PIN_BUF_SIZE];
  vOpenPin(&saved);
  const int length = vGetPinBuf(entry);
  vClosePin(&saved);
  printf("%s[%d] signals=%d\n", entry, length, (int)signals);
  return 0;
}
