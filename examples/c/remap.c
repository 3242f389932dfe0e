/* SPDX-License-Identifier: MIT */
/*
 * remap: checks a PIN typed on a pad whose keys are laid out like a
 * calculator's (7 8 9 on the top row) but printed like a telephone's
 * (1 2 3 on top). The pad sends the code of the calculator key, so the
 * program turns each code into the digit printed on that key.
 *
 * It shows how to handle a PIN: it is never printed or logged, only
 * compared, and wiped as soon as it has been; a cancelled or wrong entry
 * may be tried again, three times at most; a silent pad and an unplugged
 * one are told apart from a cancel.
 *
 * Build against an installed driver:  cc remap.c $(pkg-config --cflags --libs ttypinpad)
 */
#include <ttypinpad/pin.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

enum { TRIES = 3, KEY_TIMEOUT_MS = 30000 };

/* The account's PIN, as the bank's host would check it; a demonstration. */
static const char expected[] = "1234";

/* Clears a PIN where the compiler cannot leave the stores out. */
static void wipe(char *pin, size_t size) {
  volatile char *byte = pin;
  while (size-- > 0) *byte++ = 0;
}

/* Compares without stopping at the first difference, so that the time
 * taken tells nothing about how much of the PIN was right. */
static int samePin(const char *entry, int length) {
  const int want = (int)(sizeof expected - 1);
  unsigned char differ = (unsigned char)(length != want);
  for (int i = 0; i < want; ++i) differ |= (unsigned char)(entry[i] ^ expected[i]);
  return differ == 0;
}

int main(void) {
  /* The digit printed on the key that sends code 0, 1, ... 9. */
  static const char printed[] = "0789456123";
  for (int code = 0; code < 10; ++code) mapconv[code] = printed[code];

  struct termios saved;
  if (vOpenPinAt("/dev/ttyS0", &saved) != 0) {
    fprintf(stderr, "remap: the pad is unavailable: %s\n", strerror(errno));
    return 3;
  }
  char entry[PIN_BUF_SIZE];
  int status = 1;
  for (int attempt = 1; attempt <= TRIES && status == 1; ++attempt) {
    printf("PIN, then #: ");
    fflush(stdout);
    const int length = vGetPinEntry(entry, KEY_TIMEOUT_MS);
    const int right = length >= 0 && samePin(entry, length);
    wipe(entry, sizeof entry); /* used: gone */
    if (right) {
      puts("PIN accepted");
      status = 0;
    } else if (length >= 0 || length == PIN_TOO_LONG) {
      puts("wrong PIN");
    } else if (length == PIN_CANCELLED) {
      puts("cancelled");
    } else if (length == PIN_TIMED_OUT) {
      puts("no key for 30 s: giving up");
      status = 2;
    } else {
      puts("the pad was unplugged");
      status = 3;
    }
  }
  vClosePin(&saved);
  return status;
}
