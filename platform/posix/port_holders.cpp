#include "platform/posix/port_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace platform {
namespace port_holders {
namespace {

// Unix98 pty slaves all have this major; the minor is the pty's index.
constexpr unsigned kPtySlaveMajor = 136;
// /dev/ptmx and every devpts instance's ptmx: a descriptor of it is a pty master.
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;
// How long a probe may match another probe's look.
constexpr std::chrono::seconds kSharedLookMaxAge{1};

std::uint64_t g_passes = 0;

bool AllDigits(const char* text) {
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}

bool UnderDev(const char* path) { return std::strncmp(path, "/dev/", 5) == 0; }

bool IsPtmx(dev_t device) { return major(device) == kPtmxMajor && minor(device) == kPtmxMinor; }

// The slave index that the kernel names in a pty master's fdinfo, or -1 when it names none.
int MasterPtyIndex(int procFd, const char* pid, const char* fd) {
  const std::string path = std::string(pid) + "/fdinfo/" + fd;
  const int infoFd = openat(procFd, path.c_str(), O_RDONLY | O_CLOEXEC);
  if (infoFd < 0) return -1;
  char text[512];
  const ssize_t size = read(infoFd, text, sizeof(text) - 1);
  close(infoFd);
  if (size <= 0) return -1;
  text[size] = '\0';
  static constexpr char kKey[] = "\ntty-index:";
  const char* at = std::strstr(text, kKey);
  if (at == nullptr) return -1;
  at += sizeof(kKey) - 1;
  while (*at == ' ' || *at == '\t') ++at;
  long index = 0;
  const char* digits = at;
  for (; *at >= '0' && *at <= '9'; ++at) {
    index = index * 10 + (*at - '0');
    if (index > INT_MAX) return -1;
  }
  return at == digits || (*at != '\n' && *at != '\0') ? -1 : static_cast<int>(index);
}

struct SharedLook {
  Look look;
  // None before the first look, and once forgotten.
  std::optional<std::chrono::steady_clock::time_point> madeAt;
};

SharedLook& TheSharedLook() {
  static SharedLook shared;
  return shared;
}

}  // namespace

Port PortAt(const std::string& resolvedPath, dev_t device) {
  Port port;
  port.path = resolvedPath;
  port.device = device;
  if (major(device) == kPtySlaveMajor && minor(device) <= INT_MAX) {
    port.ptyIndex = static_cast<int>(minor(device));
  }
  return port;
}

Look Look::For(const Port& port, const std::string& procRoot, pid_t self) {
  return Take(&port, procRoot, self);
}

Look Look::OfAll(const std::string& procRoot, pid_t self) { return Take(nullptr, procRoot, self); }

Look Look::Take(const Port* port, const std::string& procRoot, pid_t self) {
  ++g_passes;
  Look look;
  const int procFd = open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (procFd < 0) return look;
  DIR* processes = fdopendir(procFd);
  if (processes == nullptr) {
    close(procFd);
    return look;
  }
  const std::string selfText = std::to_string(self);
  for (;;) {
    const dirent* entry = readdir(processes);
    if (entry == nullptr) break;
    if (!AllDigits(entry->d_name) || selfText == entry->d_name) continue;
    if (look.AddProcess(procFd, entry->d_name, port)) break;
  }
  closedir(processes);
  return look;
}

bool Look::AddProcess(int procFd, const char* pid, const Port* port) {
  const std::string fdDirectory = std::string(pid) + "/fd";
  const int fdDirFd = openat(procFd, fdDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdDirFd < 0) return false;
  DIR* descriptors = fdopendir(fdDirFd);
  if (descriptors == nullptr) {
    close(fdDirFd);
    return false;
  }
  const long pidNumber = std::strtol(pid, nullptr, 10);
  const std::size_t firstOpened = opened_.size();
  for (;;) {
    const dirent* entry = readdir(descriptors);
    if (entry == nullptr) break;
    if (!AllDigits(entry->d_name)) continue;
    char target[PATH_MAX];
    const ssize_t length = readlinkat(fdDirFd, entry->d_name, target, sizeof(target) - 1);
    // Sockets, pipes and anonymous inodes have texts that are no path.
    if (length <= 0 || target[0] != '/') continue;
    target[length] = '\0';
    if (port != nullptr && port->path == target) {
      opened_.push_back({pidNumber, port->device});
      continue;
    }
    if (!UnderDev(target)) continue;
    struct stat opened {};
    if (fstatat(fdDirFd, entry->d_name, &opened, 0) != 0 || !S_ISCHR(opened.st_mode)) continue;
    if (IsPtmx(opened.st_rdev)) {
      // Only the master of the port's own pty can make a process its far end.
      if (port != nullptr && port->ptyIndex < 0) continue;
      const int index = MasterPtyIndex(procFd, pid, entry->d_name);
      if (index >= 0 && (port == nullptr || index == port->ptyIndex)) {
        masters_.push_back({pidNumber, index});
      }
    } else if (port == nullptr || opened.st_rdev == port->device) {
      opened_.push_back({pidNumber, opened.st_rdev});
    }
  }
  closedir(descriptors);
  if (port == nullptr) return false;
  return opened_.size() > firstOpened && !IsFarEnd(pidNumber, port->ptyIndex);
}

bool Look::IsFarEnd(long pid, int ptyIndex) const {
  if (ptyIndex < 0) return false;
  for (const Master& master : masters_) {
    if (master.pid == pid && master.ptyIndex == ptyIndex) return true;
  }
  return false;
}

bool Look::HeldByAnother(const Port& port) const {
  for (const Opened& opened : opened_) {
    if (opened.device == port.device && !IsFarEnd(opened.pid, port.ptyIndex)) return true;
  }
  return false;
}

bool HeldByAnotherProcess(const Port& port, Freshness freshness) {
  // A look of all cannot match a node outside /dev, which only its own path names.
  if (freshness == Freshness::kFresh || !UnderDev(port.path.c_str())) {
    return Look::For(port, "/proc", getpid()).HeldByAnother(port);
  }
  SharedLook& shared = TheSharedLook();
  if (!shared.madeAt || std::chrono::steady_clock::now() - *shared.madeAt >= kSharedLookMaxAge) {
    shared.look = Look::OfAll("/proc", getpid());
    // Aged from its end: on a busy machine the pass itself may take most of a second.
    shared.madeAt = std::chrono::steady_clock::now();
  }
  return shared.look.HeldByAnother(port);
}

std::uint64_t PassCount() { return g_passes; }

void ForgetSharedLook() { TheSharedLook().madeAt.reset(); }

}  // namespace port_holders
}  // namespace platform
