// stallfs: a FUSE file system that stops answering when told to, as a network or FUSE mount does
// when its server goes away. It serves one read-only regular file, "held", and lets the kernel
// cache no attribute and no name, so every stat of that file is a request to this process.
//
//   stallfs MOUNTPOINT
//
// Prints "mounted" once the mount stands. SIGUSR1 holds back the answer to every request from
// then on and prints "stalled"; SIGUSR2 gives the answers held back and prints "resumed N", N
// being how many there were. SIGTERM, SIGINT and SIGHUP give them too, unmount and end it.
// Everything runs on one thread: a held request is a stored answer, not a blocked thread.
#define FUSE_USE_VERSION 34

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr fuse_ino_t kFileIno = 2;
constexpr char kFileName[] = "held";
constexpr char kContent[] = "kept open by a test\n";

bool g_stalled = false;
std::deque<std::function<void()>> g_held;

// Answers at once, or when the stall ends.
void Answer(std::function<void()> answer) {
  if (g_stalled) {
    g_held.push_back(std::move(answer));
  } else {
    answer();
  }
}

std::size_t AnswerHeld() {
  g_stalled = false;
  const std::size_t count = g_held.size();
  while (!g_held.empty()) {
    std::function<void()> answer = std::move(g_held.front());
    g_held.pop_front();
    answer();
  }
  return count;
}

void Say(const std::string& line) {
  const std::string text = line + "\n";
  if (write(STDOUT_FILENO, text.data(), text.size()) < 0) {
    // The test that reads these lines is gone; the file system still serves until it is ended.
  }
}

bool Attributes(fuse_ino_t ino, struct stat& attributes) {
  attributes = {};
  attributes.st_ino = ino;
  attributes.st_uid = getuid();
  attributes.st_gid = getgid();
  if (ino == FUSE_ROOT_ID) {
    attributes.st_mode = S_IFDIR | 0755;
    attributes.st_nlink = 2;
    return true;
  }
  if (ino == kFileIno) {
    attributes.st_mode = S_IFREG | 0444;
    attributes.st_nlink = 1;
    attributes.st_size = sizeof kContent - 1;
    return true;
  }
  return false;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  const bool known = parent == FUSE_ROOT_ID && std::strcmp(name, kFileName) == 0;
  Answer([req, known] {
    fuse_entry_param entry{};
    if (!known || !Attributes(kFileIno, entry.attr)) {
      fuse_reply_err(req, ENOENT);
      return;
    }
    entry.ino = kFileIno;
    entry.attr_timeout = 0;
    entry.entry_timeout = 0;
    fuse_reply_entry(req, &entry);
  });
}

void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  Answer([req, ino] {
    struct stat attributes;
    if (Attributes(ino, attributes)) {
      fuse_reply_attr(req, &attributes, 0);
    } else {
      fuse_reply_err(req, ENOENT);
    }
  });
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* info) {
  fuse_file_info opened = *info;
  Answer([req, ino, opened]() mutable {
    if (ino != kFileIno) {
      fuse_reply_err(req, EISDIR);
    } else if ((opened.flags & O_ACCMODE) != O_RDONLY) {
      fuse_reply_err(req, EACCES);
    } else {
      // No page cache either: a read of the file is a request too.
      opened.direct_io = 1;
      opened.keep_cache = 0;
      fuse_reply_open(req, &opened);
    }
  });
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info*) {
  Answer([req, size, offset] {
    const std::size_t length = sizeof kContent - 1;
    const std::size_t start = std::min(static_cast<std::size_t>(offset), length);
    fuse_reply_buf(req, kContent + start, std::min(size, length - start));
  });
}

void Done(fuse_req_t req) {
  Answer([req] { fuse_reply_err(req, 0); });
}

void Flush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { Done(req); }
void Release(fuse_req_t req, fuse_ino_t, fuse_file_info*) { Done(req); }
void ReleaseDir(fuse_req_t req, fuse_ino_t, fuse_file_info*) { Done(req); }

void OpenDir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* info) {
  fuse_file_info opened = *info;
  Answer([req, ino, opened] {
    if (ino == FUSE_ROOT_ID) {
      fuse_reply_open(req, &opened);
    } else {
      fuse_reply_err(req, ENOTDIR);
    }
  });
}

void ReadDir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info*) {
  Answer([req, size, offset] {
    const std::pair<const char*, fuse_ino_t> entries[] = {
        {".", FUSE_ROOT_ID}, {"..", FUSE_ROOT_ID}, {kFileName, kFileIno}};
    std::vector<char> buffer(size);
    std::size_t used = 0;
    for (off_t index = offset; index < static_cast<off_t>(std::size(entries)); ++index) {
      struct stat attributes;
      Attributes(entries[index].second, attributes);
      const std::size_t needed = fuse_add_direntry(req, buffer.data() + used, size - used,
                                                   entries[index].first, &attributes, index + 1);
      if (needed > size - used) break;
      used += needed;
    }
    fuse_reply_buf(req, buffer.data(), used);
  });
}

void StatFs(fuse_req_t req, fuse_ino_t) {
  Answer([req] {
    struct statvfs summary {};
    summary.f_bsize = 4096;
    summary.f_frsize = 4096;
    summary.f_namemax = 255;
    fuse_reply_statfs(req, &summary);
  });
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops operations{};
  operations.lookup = Lookup;
  operations.getattr = GetAttr;
  operations.open = Open;
  operations.read = Read;
  operations.flush = Flush;
  operations.release = Release;
  operations.opendir = OpenDir;
  operations.readdir = ReadDir;
  operations.releasedir = ReleaseDir;
  operations.statfs = StatFs;
  return operations;
}

// Serves until a signal ends it (true) or the kernel ends the session (false), as an unmount
// from outside does.
bool Serve(fuse_session* session, int signalFd) {
  fuse_buf request{};
  bool signalled = false;
  while (!signalled && fuse_session_exited(session) == 0) {
    pollfd fds[2] = {{fuse_session_fd(session), POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
          g_stalled = true;
          Say("stalled");
        } else if (info.ssi_signo == SIGUSR2) {
          Say("resumed " + std::to_string(AnswerHeld()));
        } else {
          signalled = true;
        }
      }
    }
    if (!signalled && fds[0].revents != 0) {
      const int got = fuse_session_receive_buf(session, &request);
      if (got == -EINTR || got == -EAGAIN) continue;
      if (got <= 0) break;
      fuse_session_process_buf(session, &request);
    }
  }
  std::free(request.mem);
  return signalled;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MOUNTPOINT\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signalNumber : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP}) {
    sigaddset(&signals, signalNumber);
  }
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("stallfs: signalfd");
    return 1;
  }

  char options[] = "-ofsname=stallfs,subtype=stallfs";
  char* fuseArgv[] = {argv[0], options, nullptr};
  fuse_args args = FUSE_ARGS_INIT(2, fuseArgv);
  const fuse_lowlevel_ops operations = Operations();
  fuse_session* session = fuse_session_new(&args, &operations, sizeof operations, nullptr);
  if (session == nullptr) return 1;
  if (fuse_session_mount(session, argv[1]) != 0) {
    fuse_session_destroy(session);
    return 1;
  }
  Say("mounted");
  const bool signalled = Serve(session, signalFd);
  AnswerHeld();
  // A session the kernel ended has no mount left to take away.
  if (signalled) fuse_session_unmount(session);
  fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  return 0;
}
