// SPDX-License-Identifier: MIT
#include "options.h"

#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>

const char kUsageText[] =
    "usage: virtual-pad [options] -- COMMAND [ARGS...]\n"
    "Runs COMMAND with a virtual PIN pad on /dev/ttyS0, in private namespaces;\n"
    "the machine's own /dev/ttyS0 is never opened.\n"
    "\n"
    "  --keys TEXT       type TEXT, one key at a time, each once COMMAND waits\n"
    "                    for it; \\r \\n \\t \\0 \\\\ and \\xHH stand for bytes\n"
    "  --burst TEXT      send TEXT all at once, as keys typed while COMMAND was\n"
    "                    busy, once it waits for input (same escapes)\n"
    "  --break           send a BREAK (a zero byte to a reader under the pad's\n"
    "                    settings), in order with --keys and --burst\n"
    "  --hang-up         once every key has gone out, hang up the line, as if\n"
    "                    the pad were unplugged\n"
    "  --timeout SECONDS end COMMAND if it still runs after SECONDS; status 124\n"
    "  --show-settings   print the line settings COMMAND put on the port, once it\n"
    "                    waits for the first key\n"
    "  --uart            run COMMAND in a small QEMU machine where /dev/ttyS0 is a\n"
    "                    16550A UART of the guest kernel's own serial driver\n"
    "  --no-carrier      with --uart: a pad that drives no carrier (DCD low)\n"
    "  --no-port         give COMMAND no /dev/ttyS0 at all\n"
    "  --deny-port       give COMMAND a /dev/ttyS0 it has no permission to open\n"
    "  -h, --help        show this text\n"
    "\n"
    "--keys and --burst may be given several times: they go out in order.\n"
    "Without them, what you type goes to the pad (Ctrl-C stops).\n"
    "Exit status: COMMAND's; 124 if it timed out; 125 if the pad cannot be set up,\n"
    "126 if COMMAND cannot be run, 127 if it is not found, 2 on a usage error.\n";

void say(const std::string &text) { std::fprintf(stderr, "virtual-pad: %s\n", text.c_str()); }

void sayTimedOut(const Options &opt, std::size_t typed, std::size_t total) {
  say(std::string(opt.command[0]) + " timed out after " + opt.timeoutText + " s (" + std::to_string(typed) + " of " +
      std::to_string(total) + " keys typed); ending it");
}

void sayEndedEarly(const Options &opt, std::size_t typed, std::size_t total) {
  say(std::string(opt.command[0]) + " ended before it read every key (" + std::to_string(typed) + " of " +
      std::to_string(total) + " typed)");
}

void sayKilling(const Options &opt, int firstSignal) {
  say(std::string(opt.command[0]) + " did not end on SIG" + sigabbrev_np(firstSignal) + "; killing it");
}

Parsed parse(int argc, char **argv, Options &opt) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") return Parsed::Help;
    if ((arg == "--keys" || arg == "--burst") && i + 1 < argc) {
      Step step{arg == "--keys" ? Step::Type : Step::Burst, {}};
      std::string why;
      if (!unescape(argv[++i], step.bytes, why)) {
        say(why);
        return Parsed::Wrong;
      }
      opt.steps.push_back(step);
    } else if (arg == "--hang-up") {
      opt.hangUp = true;
    } else if (arg == "--break") {
      opt.steps.push_back(Step{Step::Break, std::string(1, '\0')});
    } else if (arg == "--uart") {
      opt.uart = true;
    } else if (arg == "--no-carrier") {
      opt.noCarrier = true;
    } else if (arg == "--timeout" && i + 1 < argc) {
      char *end = nullptr;
      const double seconds = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(seconds > 0) || seconds > 86400 * 24) {
        say(std::string("--timeout needs a number of seconds, not ") + argv[i]);
        return Parsed::Wrong;
      }
      opt.timeoutMs = static_cast<int>(std::ceil(seconds * 1000));
      opt.timeoutText = argv[i];
    } else if (arg == "--show-settings") {
      opt.showSettings = true;
    } else if (arg == "--no-port") {
      opt.port = vpad::Port::Missing;
    } else if (arg == "--deny-port") {
      opt.port = vpad::Port::Denied;
    } else if (arg.size() > 1 && arg[0] == '-') {
      const bool needsText = arg == "--keys" || arg == "--burst" || arg == "--timeout";
      say("unknown option " + arg + (needsText ? " (it needs a value)" : ""));
      return Parsed::Wrong;
    } else {
      break;
    }
  }
  if (i == argc) {
    say("no COMMAND to run");
    return Parsed::Wrong;
  }
  if (opt.noCarrier && !opt.uart) {
    say("--no-carrier needs --uart: a pseudo-terminal has no carrier to drop");
    return Parsed::Wrong;
  }
  if (opt.uart && opt.port != vpad::Port::Pad) {
    say("--no-port and --deny-port are for the pseudo-terminal line, not --uart");
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
