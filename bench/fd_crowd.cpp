// The crowd of a busy desktop for bench/holders.sh: idle processes that each hold about 60
// descriptors of the kinds such a machine is full of, so that the tool's look at every other
// process's descriptors has as much to read as it would there; and a census of what /proc shows.
//   fd_crowd COUNT DIR   COUNT children (at most 2000), each holding its descriptors; prints
//                        "ready COUNT" once all of them hold them, and stays until SIGTERM/SIGINT
//   fd_crowd --census    "processes P descriptors D" over every process this user may look at
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr long kMaxChildren = 2000;
constexpr int kStreamPairs = 8;
constexpr int kDatagramPairs = 4;
constexpr int kPipes = 10;
constexpr int kFiles = 10;
constexpr int kNullOpens = 3;
// With the three standard streams: 3 + 2 * 8 + 2 * 4 + 2 * 10 + 10 + 3 = 60.
constexpr int kDescriptorsEach =
    3 + 2 * kStreamPairs + 2 * kDatagramPairs + 2 * kPipes + kFiles + kNullOpens;

bool AllDigits(const char* text) {
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
  }
  return true;
}

int Census() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    std::perror("fd_crowd: /proc");
    return 1;
  }
  long processes = 0;
  long descriptors = 0;
  while (const dirent* entry = readdir(proc)) {
    if (!AllDigits(entry->d_name)) continue;
    ++processes;
    DIR* fds = opendir((std::string("/proc/") + entry->d_name + "/fd").c_str());
    if (fds == nullptr) continue;
    while (const dirent* fd = readdir(fds)) {
      if (AllDigits(fd->d_name)) ++descriptors;
    }
    closedir(fds);
  }
  closedir(proc);
  std::printf("processes %ld descriptors %ld\n", processes, descriptors);
  return 0;
}

std::string FilePath(const std::string& dir, int index) {
  return dir + "/held-" + std::to_string(index);
}

// Everything a child holds is opened by the child itself, so that each descriptor is one more
// entry in /proc/<pid>/fd and nothing is shared by inheritance but the three standard streams.
bool OpenDescriptors(const std::string& dir) {
  int pair[2];
  for (int i = 0; i < kStreamPairs; ++i) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return false;
  }
  for (int i = 0; i < kDatagramPairs; ++i) {
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0) return false;
  }
  for (int i = 0; i < kPipes; ++i) {
    if (pipe(pair) != 0) return false;
  }
  for (int i = 0; i < kFiles; ++i) {
    if (open(FilePath(dir, i).c_str(), O_RDONLY) < 0) return false;
  }
  for (int i = 0; i < kNullOpens; ++i) {
    if (open("/dev/null", O_RDWR) < 0) return false;
  }
  return true;
}

[[noreturn]] void RunChild(const std::string& dir, int readyFd, pid_t parent) {
  // A crowd left behind by a killed bench would weigh on every later run of the tool.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const bool opened = OpenDescriptors(dir);
  const char mark = opened ? '+' : '-';
  if (write(readyFd, &mark, 1) != 1 || !opened) _exit(1);
  close(readyFd);
  for (;;) pause();
}

void RaiseLimit(int resource, rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur =
      limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
  setrlimit(resource, &limit);
}

void EndChildren(const std::vector<pid_t>& children) {
  for (const pid_t child : children) kill(child, SIGKILL);
  for (const pid_t child : children) waitpid(child, nullptr, 0);
}

int Crowd(long count, const std::string& dir) {
  // Its own process group, so that the bench can end the crowd with one kill; and the end of the
  // bench itself, however it comes, ends the crowd.
  setpgid(0, 0);
  const pid_t bench = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != bench) return 1;
  RaiseLimit(RLIMIT_NOFILE, kDescriptorsEach + 16);
  RaiseLimit(RLIMIT_NPROC, static_cast<rlim_t>(count) + 4096);
  for (int i = 0; i < kFiles; ++i) {
    const int fd = open(FilePath(dir, i).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, "held\n", 5) != 5 || close(fd) != 0) {
      std::perror(("fd_crowd: " + FilePath(dir, i)).c_str());
      return 1;
    }
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  int ready[2];
  if (pipe(ready) != 0) {
    std::perror("fd_crowd: pipe");
    return 1;
  }
  const pid_t self = getpid();
  std::vector<pid_t> children;
  children.reserve(static_cast<size_t>(count));
  for (long i = 0; i < count; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      close(ready[0]);
      RunChild(dir, ready[1], self);
    }
    if (child < 0) {
      std::fprintf(stderr, "fd_crowd: fork %ld of %ld: %s\n", i + 1, count, std::strerror(errno));
      EndChildren(children);
      return 1;
    }
    children.push_back(child);
  }
  close(ready[1]);
  long held = 0;
  char mark = 0;
  while (held < count && read(ready[0], &mark, 1) == 1 && mark == '+') ++held;
  close(ready[0]);
  if (held < count) {
    std::fprintf(stderr, "fd_crowd: only %ld of %ld children hold their descriptors\n", held,
                 count);
    EndChildren(children);
    return 1;
  }
  std::printf("ready %ld\n", count);
  std::fflush(stdout);
  int received = 0;
  sigwait(&stopSignals, &received);
  EndChildren(children);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--census") == 0) return Census();
  char* end = nullptr;
  const long count = argc == 3 ? std::strtol(argv[1], &end, 10) : -1;
  if (argc != 3 || end == argv[1] || *end != '\0' || count < 0 || count > kMaxChildren) {
    std::fprintf(stderr, "usage: fd_crowd COUNT DIR (COUNT 0..%ld) | fd_crowd --census\n",
                 kMaxChildren);
    return 2;
  }
  return Crowd(count, argv[2]);
}
