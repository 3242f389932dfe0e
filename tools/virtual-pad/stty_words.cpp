// SPDX-License-Identifier: MIT
#include "stty_words.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <sstream>

namespace {

const char *speedName(speed_t s) {
  struct Entry {
    speed_t code;
    const char *name;
  };
  static constexpr Entry kSpeeds[] = {
      {B0, "0"},         {B50, "50"},         {B75, "75"},         {B110, "110"},
      {B134, "134"},     {B150, "150"},       {B200, "200"},       {B300, "300"},
      {B600, "600"},     {B1200, "1200"},     {B1800, "1800"},     {B2400, "2400"},
      {B4800, "4800"},   {B9600, "9600"},     {B19200, "19200"},   {B38400, "38400"},
      {B57600, "57600"}, {B115200, "115200"}, {B230400, "230400"}, {B460800, "460800"},
  };
  const auto *found = std::find_if(std::begin(kSpeeds), std::end(kSpeeds), [s](const Entry &e) { return e.code == s; });
  return found == std::end(kSpeeds) ? "?" : found->name;
}

struct Flag {
  tcflag_t bit;
  const char *name;
};

std::string flagWords(tcflag_t word, std::initializer_list<Flag> flags) {
  std::string out;
  for (const Flag &f : flags) {
    out += (out.empty() ? "" : " ");
    out += ((word & f.bit) != 0 ? "" : "-");
    out += f.name;
  }
  return out;
}

// As stty -a shows it: ^C, ^?, and M- before a byte with the top bit set.
std::string controlChar(cc_t c) {
  if (c == 0) return "<undef>";
  const std::string meta = c >= 0x80 ? "M-" : "";
  const auto low = static_cast<cc_t>(c & 0x7f);
  if (low < 0x20) return meta + "^" + static_cast<char>(low + '@');
  if (low == 0x7f) return meta + "^?";
  return meta + static_cast<char>(low);
}

}  // namespace

std::string describe(const termios &t) {
  const tcflag_t size = t.c_cflag & CSIZE;
  const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  const bool parity = (t.c_cflag & PARENB) != 0;
  const char *flow = (t.c_cflag & CRTSCTS) != 0       ? "RTS/CTS"
                     : (t.c_iflag & (IXON | IXOFF)) != 0 ? "XON/XOFF"
                                                         : "none";
  std::ostringstream out;
  out << "speed " << speedName(cfgetospeed(&t)) << " baud (in " << speedName(cfgetispeed(&t)) << ", out "
      << speedName(cfgetospeed(&t)) << "); " << bits << " data bits, "
      << (parity ? ((t.c_cflag & PARODD) != 0 ? "odd" : "even") : "no") << " parity, "
      << ((t.c_cflag & CSTOPB) != 0 ? 2 : 1) << " stop bit" << ((t.c_cflag & CSTOPB) != 0 ? "s" : "")
      << "; flow control " << flow << "; min = " << static_cast<int>(t.c_cc[VMIN])
      << "; time = " << static_cast<int>(t.c_cc[VTIME]) << ";\n";
  out << "cs" << bits << " "
      << flagWords(t.c_cflag, {{PARENB, "parenb"},
                               {PARODD, "parodd"},
                               {HUPCL, "hupcl"},
                               {CSTOPB, "cstopb"},
                               {CREAD, "cread"},
                               {CLOCAL, "clocal"},
                               {CRTSCTS, "crtscts"}})
      << "\n";
  out << flagWords(t.c_iflag, {{IGNBRK, "ignbrk"},
                               {BRKINT, "brkint"},
                               {IGNPAR, "ignpar"},
                               {PARMRK, "parmrk"},
                               {INPCK, "inpck"},
                               {ISTRIP, "istrip"},
                               {INLCR, "inlcr"},
                               {IGNCR, "igncr"},
                               {ICRNL, "icrnl"},
                               {IXON, "ixon"},
                               {IXOFF, "ixoff"},
                               {IXANY, "ixany"},
                               {IMAXBEL, "imaxbel"}})
      << "\n";
  out << flagWords(t.c_oflag, {{OPOST, "opost"}, {ONLCR, "onlcr"}, {OCRNL, "ocrnl"}}) << "\n";
  out << flagWords(t.c_lflag, {{ISIG, "isig"},
                               {ICANON, "icanon"},
                               {IEXTEN, "iexten"},
                               {ECHO, "echo"},
                               {ECHOE, "echoe"},
                               {ECHOK, "echok"},
                               {ECHONL, "echonl"},
                               {NOFLSH, "noflsh"},
                               {TOSTOP, "tostop"}})
      << "\n";
  struct Char {
    int index;
    const char *name;
  };
  static constexpr Char kChars[] = {{VINTR, "intr"},   {VQUIT, "quit"},    {VERASE, "erase"},
                                    {VKILL, "kill"},   {VEOF, "eof"},      {VEOL, "eol"},
                                    {VEOL2, "eol2"},   {VSTART, "start"},  {VSTOP, "stop"},
                                    {VSUSP, "susp"},   {VREPRINT, "rprnt"}, {VWERASE, "werase"},
                                    {VLNEXT, "lnext"}, {VDISCARD, "discard"}};
  const char *sep = "";
  for (const Char &c : kChars) {
    out << sep << c.name << " = " << controlChar(t.c_cc[c.index]);
    sep = "; ";
  }
  out << ";\n";
  return out.str();
}

