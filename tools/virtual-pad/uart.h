// SPDX-License-Identifier: MIT
// virtual-pad --uart: the pad on a real serial driver.
//
// COMMAND runs in a small x86-64 machine under QEMU, where /dev/ttyS0 is
// an emulated 16550A UART driven by the guest kernel's own 8250 driver:
// unlike a pseudo-terminal, it keeps data bits and parity, has a carrier
// and modem lines, a FIFO, and BREAK. The machine's root is the host's,
// shared read-only, so COMMAND finds its files, libraries and
// interpreters as on the host. The tool plays the pad on the host end of
// that UART, a socket (or, with no carrier, a pseudo-terminal) of its own:
// nothing of the host's serial ports is ever touched.
#pragma once

#include "options.h"

// Runs COMMAND on the UART as the options say; its exit status, as
// virtual-pad exits with.
int runOnUart(const Options &opt);
