#include "options.h"

#include <cstdio>

const char kUsageText[] =
    "usage: virtual-pad [options] -- COMMAND [ARGS...]\n"
    "Runs COMMAND with a virtual PIN pad on /dev/ttyS0, in private namespaces;\n"
    "the machine's own /dev/ttyS0 is never opened.\n"
    "\n"
    "  --keys TEXT       type TEXT, one key at a time, each once COMMAND waits\n"
    "                    for it; \\r \\n \\t \\0 \\\\ and \\xHH stand for bytes\n"
    "  --show-settings   print the line settings COMMAND put on the port, once it\n"
    "                    waits for the first key\n"
    "  --no-port         give COMMAND no /dev/ttyS0 at all\n"
    "  --deny-port       give COMMAND a /dev/ttyS0 it has no permission to open\n"
    "  -h, --help        show this text\n"
    "\n"
    "Without --keys, what you type goes to the pad (Ctrl-C stops).\n"
    "Exit status: COMMAND's; 125 if the virtual pad cannot be set up,\n"
    "126 if COMMAND cannot be run, 127 if it is not found, 2 on a usage error.\n";

void say(const std::string &text) { std::fprintf(stderr, "virtual-pad: %s\n", text.c_str()); }

Parsed parse(int argc, char **argv, Options &opt) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") return Parsed::Help;
    if (arg == "--keys" && i + 1 < argc) {
      std::string why;
      if (!unescape(argv[++i], opt.keys, why)) {
        say(why);
        return Parsed::Wrong;
      }
      opt.haveKeys = true;
    } else if (arg == "--show-settings") {
      opt.showSettings = true;
    } else if (arg == "--no-port") {
      opt.port = vpad::Port::Missing;
    } else if (arg == "--deny-port") {
      opt.port = vpad::Port::Denied;
    } else if (arg.size() > 1 && arg[0] == '-') {
      say("unknown option " + arg + (arg == "--keys" ? " (it needs the keys)" : ""));
      return Parsed::Wrong;
    } else {
      break;
    }
  }
  if (i == argc) {
    say("no COMMAND to run");
    return Parsed::Wrong;
  }
  opt.command = argv + i;
  return Parsed::Run;
}

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool unescape(std::string_view text, std::string &out, std::string &why) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) {
      why = "a lone \\ at the end of the keys";
      return false;
    }
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x': {
        const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          why = "\\x needs two hexadecimal digits";
          return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        why = std::string("unknown escape \\") + text[i] + " in the keys";
        return false;
    }
  }
  return true;
}
