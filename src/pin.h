/* SPDX-License-Identifier: MIT */
/*
 * pin.h - driver for a numeric PIN pad on the first serial port.
 *
 * The pad is wired to /dev/ttyS0 and talks at 2400 baud, 8 data bits,
 * no parity, one stop bit, with RTS/CTS hardware flow control. Every key
 * press arrives as one byte: "#" confirms an entry, "*" cancels it, any
 * other byte is part of the entry.
 *
 * Use, in this order, from one thread:
 *
 *     struct termios saved;
 *     char entry[PIN_BUF_SIZE];
 *     vOpenPin(&saved);            open the port, take its settings
 *     int n = vGetPinBuf(entry);   one entry; repeat for more entries
 *     vClosePin(&saved);           put the earlier settings back
 *
 * or, for a program that must go on when the pad is missing or stays
 * silent (a kiosk), with a port of its choice, errors handed back and a
 * time limit on each key:
 *
 *     if (vOpenPinAt("/dev/ttyUSB0", &saved) != 0)   errno says why
 *     int n = vGetPinEntry(entry, 30000);           PIN_TIMED_OUT, ...
 *     vClosePin(&saved);
 *
 * The caller owns the saved settings and the entry buffer. The driver
 * allocates nothing, starts no thread, installs no signal handler and
 * keeps no state between calls beyond the variables declared below. It
 * drives one port per process. C++ programs may use pin.hpp, which wraps
 * these calls in a port object and a PIN holder that wipes itself.
 *
 * The header compiles as C11 and as C++; the names have C linkage.
 */
#ifndef TTYPINPAD_PIN_H
#define TTYPINPAD_PIN_H

#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of an entry buffer: up to 255 entry bytes and a terminating zero. */
enum { PIN_BUF_SIZE = 256 };

/* Size of each translation table below: ten codes and two unused bytes. */
enum { PIN_MAP_SIZE = 12 };

/* What vGetPinEntry returns when an entry is not confirmed. */
enum {
  PIN_CANCELLED = -1, /* "*" was pressed */
  PIN_TIMED_OUT = -2, /* no key came in time */
  PIN_LINE_LOST = -3, /* the line hung up, the pad was unplugged, or a read failed */
  PIN_TOO_LONG = -4   /* the entry had no room left for its terminating zero */
};

/*
 * fd, mapchar and mapconv below are global names of the driver: a program
 * that uses it must not define variables, or functions, of its own with
 * these names. That is the price of these short names: a program's own
 * global `fd` collides with the driver's. Linked statically, the linker
 * reports two definitions; linked with the shared library, it does not
 * even tell: the program's definition and the driver's silently become
 * one, and the driver reads the port through the program's variable.
 * Keep a program's own descriptors in local or static variables.
 */

/*
 * Descriptor of the open port. Zero until vOpenPin stores the descriptor
 * of /dev/ttyS0 in it; vGetPinBuf and vClosePin read through it. It is
 * never 0, 1 or 2, whatever the program left closed, and programs that
 * the caller starts do not inherit it (close-on-exec). It stays open
 * after vClosePin: the port is released when the process ends.
 */
extern int fd;

/*
 * Key translation. A received byte equal to mapchar[i], for the lowest i
 * from 0 to 9 that matches, is stored as mapconv[i]; a byte that matches
 * no entry is stored as received. Both tables start as "0123456789" and
 * two zero bytes, so digits are stored unchanged; entries 10 and 11 are
 * never consulted. A program may change either table, for instance for a
 * pad whose keys send other codes. "#" and "*" are recognised before any
 * translation, so the tables can neither hide them nor produce them as
 * keys: a byte translated to "#" or "*" is stored as an ordinary byte.
 */
extern char mapchar[PIN_MAP_SIZE];
extern char mapconv[PIN_MAP_SIZE];

/*
 * Opens /dev/ttyS0 for reading and writing without making it the
 * controlling terminal, stores the descriptor in fd, copies the settings
 * in force into *saved, and puts the port into the pad's settings: 2400
 * baud in and out, 8N1, receiver on, modem status lines ignored, modem
 * lines dropped on the last close, RTS/CTS flow control, bytes with
 * framing or parity errors ignored, no input, output or local processing,
 * and reads that wait without limit for at least one byte. Every other
 * field of the settings is zero. Then it drops every byte received so far:
 * an entry begins with the first byte that arrives under these settings.
 *
 * The open does not wait for a carrier, even where the port's earlier
 * settings lack clocal: the pad needs no DCD. Once the pad's settings are
 * on, the descriptor blocks again, so every read waits for a key.
 *
 * Under these settings a BREAK on the line reads as one zero byte, and the
 * reader stores it as a key like any other byte.
 *
 * Called again while fd still holds the port, it reuses that descriptor
 * instead of opening another: a program may open, read and close once per
 * entry for as long as it runs. Called again without vClosePin in between,
 * it saves the settings then in force, which are the pad's own: a later
 * vClosePin with that record leaves the pad's settings on. Keep the first
 * record to put the earlier settings back.
 *
 * If the port cannot be opened, writes "/dev/ttyS0: <reason>" to standard
 * error and ends the process with exit(-1), status 255; it does not return.
 * Failures to read, flush or set the settings are not reported.
 */
void vOpenPin(struct termios *saved);

/*
 * Does what vOpenPin does, on the port at path (a USB pad at
 * /dev/ttyUSB0 or /dev/ttyACM0, say), and returns 0. It never ends the
 * process and prints nothing: when the port cannot be opened, or is not a
 * terminal whose settings can be read and set, it returns -1 with errno
 * set, and leaves fd, *saved and the port as they were.
 *
 * Called again for the port it holds, it reuses the descriptor, as
 * vOpenPin does. Called for another port, it closes the one it held once
 * the new one is set up: the driver drives one port per process.
 */
int vOpenPinAt(const char *path, struct termios *saved);

/*
 * Puts the settings that vOpenPin saved in *saved back on the port at
 * once. The port stays open and fd keeps its value.
 *
 * Applies nothing if vOpenPin has not been called or could not read the
 * port's settings: a record that was never filled is never applied.
 * Returns 0 when the settings were applied, -1 otherwise; the program
 * that only wants the port put back may ignore the result.
 */
int vClosePin(const struct termios *saved);

/*
 * Reads one entry from the port into buf, which must hold PIN_BUF_SIZE
 * bytes, and blocks until the entry ends.
 *
 * Every byte from the line is a key, taken in order, keys that arrive
 * together (typed while the program was busy) included: the port is read
 * one byte at a time, so that the keys after the one that ends the entry
 * stay queued and begin the next entry. Keys other than "#" and "*" are
 * translated (see mapchar) and stored in order.
 *
 * Returns the number of bytes stored, 0 to 255, when "#" ends the entry;
 * buf then holds them followed by zero bytes to its end ("#" itself is not
 * stored). The count, not the first zero byte, tells where the entry ends:
 * a zero byte from the line (a BREAK, say) is stored and counted.
 * Returns -1 when the entry is cancelled, with buf holding "E" followed
 * by zero bytes to its end, so that no key of the entry remains:
 * - "*" was pressed;
 * - the entry grew past 255 bytes (the reader goes on taking keys into
 *   the last position until "#" or "*" and then rejects the whole entry);
 * - the line reported end of file or an error (pad unplugged, line hung
 *   up).
 * A read interrupted by a signal is started again; the entry goes on.
 * Nothing is ever stored outside the PIN_BUF_SIZE bytes of buf.
 * It is vGetPinEntry without a time limit, every outcome but a confirmed
 * entry returned as -1.
 */
int vGetPinBuf(char *buf);

/*
 * Reads one entry as vGetPinBuf does, with a time limit on each key, and
 * tells apart why an entry was not confirmed:
 * - n, 0 to 255: the entry was confirmed with "#"; buf as for vGetPinBuf;
 * - PIN_CANCELLED: "*" was pressed;
 * - PIN_TIMED_OUT: no key came within keyTimeoutMs of the call, or of the
 *   key before;
 * - PIN_LINE_LOST: the line hung up, the pad was unplugged, or a read
 *   failed: reading again would fail at once, so do not retry blindly;
 * - PIN_TOO_LONG: the entry grew past 255 bytes before "#".
 * Each of these leaves "E" and zero bytes in buf. A negative keyTimeoutMs
 * waits without limit. A signal neither shortens nor stretches the limit:
 * the wait goes on until the limit, measured from the call or the last key.
 */
int vGetPinEntry(char *buf, int keyTimeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* TTYPINPAD_PIN_H */
