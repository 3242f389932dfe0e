// SPDX-License-Identifier: MIT
#include "isolate.h"

#include "errors.h"
#include "pad.h"

#include <algorithm>
#include <iterator>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/capability.h>

namespace vpad {
namespace {

constexpr const char *kPort = "/dev/ttyS0";

// Names of the machine's serial ports, and of its console, which may be
// one: none of them is mounted in the program's /dev.
constexpr const char *kSerialPrefixes[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "ttySC", "ttyMFD"};
constexpr const char *kConsole = "console";

bool isSerial(const std::string &name) {
  return std::any_of(std::begin(kSerialPrefixes), std::end(kSerialPrefixes),
                     [&](const char *prefix) { return name.rfind(prefix, 0) == 0; });
}

bool writeFile(const char *path, const std::string &text) {
  const int f = open(path, O_WRONLY | O_CLOEXEC);
  if (f < 0) return false;
  const bool ok = write(f, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(f);
  return ok;
}

// A user namespace (and a mount namespace owned by it) in which the
// process keeps its uid and gid. Mounts copied into it from outside are
// locked together: they can be neither unmounted nor taken apart.
bool enterUserNamespace() {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  return writeFile("/proc/self/setgroups", "deny") &&
         writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
         writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

bool isPad(const Pad &pad, const char *path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == pad.device;
}

// Mounts what `source` is on `target`: a link is made anew, anything else
// gets a mount point and a bind mount. Best effort: a program rarely
// needs every entry.
void copyEntry(int from, const char *name, const std::string &target) {
  struct stat st {};
  if (fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISLNK(st.st_mode)) {
    char link[4096];
    const ssize_t n = readlinkat(from, name, link, sizeof link - 1);
    if (n > 0) {
      link[n] = '\0';
      symlink(link, target.c_str());
    }
    return;
  }
  if (S_ISDIR(st.st_mode) ? mkdir(target.c_str(), 0755) != 0 : mknod(target.c_str(), S_IFREG | 0600, 0) != 0) return;
  const std::string source = "/proc/self/fd/" + std::to_string(from) + "/" + name;
  mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
}

// A /dev of the namespace's own, over the machine's: each of its entries
// mounted again but the serial ports, /dev/null as the console, and an
// empty file in place of ttyS0 when the pad is to go there. Nothing is
// created on the machine's /dev.
bool ownDev(bool withPort, std::string &why) {
  const int machineDev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (machineDev < 0 || mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) {
    why = errnoText("cannot mount a /dev of its own");
    return false;
  }
  const int listing = openat(machineDev, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (DIR *dir = listing >= 0 ? fdopendir(listing) : nullptr) {
    while (const dirent *e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || name == kConsole || isSerial(name)) continue;
      copyEntry(machineDev, e->d_name, "/dev/" + name);
    }
    closedir(dir);
  }
  copyEntry(machineDev, "null", std::string("/dev/") + kConsole);  // whether the machine has a console or not
  close(machineDev);
  if (withPort && mknod(kPort, S_IFREG | 0600, 0) != 0) {
    why = errnoText(std::string("cannot make ") + kPort);
    return false;
  }
  return true;
}

}  // namespace

bool enterPrivateMounts(std::string &why) {
  if (unshare(CLONE_NEWNS) != 0) {
    const int denied = errno;
    if (denied != EPERM || !enterUserNamespace()) {
      errno = denied;
      why = errnoText("cannot make a private mount namespace") +
            " (run as root, or allow user namespaces: sysctl user.max_user_namespaces)";
      return false;
    }
  }
  // Before anything is mounted: no mount made here may reach the machine.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    why = errnoText("cannot make the mounts private");
    return false;
  }
  return true;
}

bool isolate(const Pad &pad, Port port, std::string &why) {
  if (!enterPrivateMounts(why) || !ownDev(port != Port::Missing, why)) return false;
  if (port == Port::Missing) return true;
  if (mount(pad.slavePath.c_str(), kPort, nullptr, MS_BIND, nullptr) != 0) {
    why = errnoText(std::string("cannot mount the pad on ") + kPort);
    return false;
  }
  // The one check that matters: from here on /dev/ttyS0 is the pad.
  if (!isPad(pad, kPort)) {
    why = std::string(kPort) + " is not the pad after the mount";
    return false;
  }
  if (port == Port::Denied && chmod(kPort, 0) != 0) {
    why = errnoText("cannot take away access to the pad");
    return false;
  }
  return true;
}

bool mountOwnProc(std::string &why) {
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    why = errnoText("cannot mount a /proc of the program's own");
    return false;
  }
  return true;
}

bool keepOutOfDeniedPort(Port port, std::string &why) {
  // Mode 0 keeps everybody out but those who may override file modes;
  // give those powers up for good, so that the program cannot either.
  if (port == Port::Denied &&
      (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 || prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0)) {
    why = errnoText("cannot take away access to the pad");
    return false;
  }
  return true;
}

bool seal(Port port, std::string &why) {
  if (!enterUserNamespace()) {
    why = errnoText("cannot seal the namespace in a user namespace of its own");
    return false;
  }
  return keepOutOfDeniedPort(port, why);  // a new user namespace gave every power back
}

}  // namespace vpad
