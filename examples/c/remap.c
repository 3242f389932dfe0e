/*
 * remap: reads one PIN from a pad whose keys are laid out like a
 * calculator's (7 8 9 on the top row) but are printed like a telephone's
 * (1 2 3 on top). The pad sends the code of the calculator key, so the
 * program turns each code into the digit printed on that key.
 *
 * Build against an installed driver:  cc remap.c $(pkg-config --cflags --libs ttypinpad)
 */
#include <ttypinpad/pin.h>

#include <stdio.h>

int main(void) {
  /* The digit printed on the key that sends code 0, 1, ... 9. */
  static const char printed[] = "0789456123";
  for (int code = 0; code < 10; ++code) mapconv[code] = printed[code];

  struct termios saved;
  char entry[PIN_BUF_SIZE];
  vOpenPin(&saved); /* on failure: prints the reason, exits with 255 */
  const int length = vGetPinBuf(entry);
  vClosePin(&saved);

  if (length < 0) {
    printf("cancelled\n");
    return 1;
  }
  printf("PIN %s (%d digits)\n", entry, length);
  return 0;
}
