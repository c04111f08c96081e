#include "tests/support/stall_fs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/support/process_runner.h"

namespace testsupport {
namespace {

// The file system confirms each signal at once; this much is already a fault.
constexpr int kAnswerMs = 5000;
constexpr int kMountMs = 10000;
constexpr int kExitMs = 5000;

#ifdef MX40R_STALLFS_PATH
constexpr const char* kStallFsPath = MX40R_STALLFS_PATH;
#else
constexpr const char* kStallFsPath = nullptr;
#endif

// Waits for the child up to `timeoutMs`, then kills it; a FUSE server waits on nothing of its own
// mount, so SIGKILL does end it.
void Reap(pid_t pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool StallFs::Built() { return kStallFsPath != nullptr; }

bool StallFs::Start(std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    Stop();
    return false;
  };
  if (!Built()) return fail("stallfs was not built: libfuse3-dev is missing");
  if (pid_ > 0) {
    if (error != nullptr) *error = "stallfs already runs";
    return false;
  }
  char pattern[] = "/tmp/mx40r-stallfs-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return fail(std::string("mkdtemp: ") + std::strerror(errno));
  mountPoint_ = pattern;
  int answers[2];
  if (pipe2(answers, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  std::string program = kStallFsPath;
  char* argv[] = {program.data(), mountPoint_.data(), nullptr};
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // The file system must not outlive a test that died while it stalled.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    dup2(answers[1], STDOUT_FILENO);
    execv(argv[0], argv);
    _exit(127);
  }
  close(answers[1]);
  answersFd_ = answers[0];
  if (pid_ < 0) return fail(std::string("fork: ") + std::strerror(errno));
  std::string line;
  if (!ReadLine(kMountMs, &line) || line != "mounted") {
    return fail("stallfs did not mount " + mountPoint_ + " (see its standard error)");
  }
  return true;
}

bool StallFs::Stall() {
  std::string line;
  const bool confirmed = Signal(SIGUSR1, "stalled", &line);
  // Unconfirmed, the signal may still have come through; a Resume then must not skip the lift.
  if (pid_ > 0) stalled_ = true;
  return confirmed;
}

int StallFs::Resume() {
  if (!stalled_) return 0;
  std::string line;
  if (!Signal(SIGUSR2, "resumed", &line)) return -1;
  stalled_ = false;
  return std::atoi(line.c_str() + std::strlen("resumed "));
}

void StallFs::Stop() {
  if (pid_ > 0) {
    Resume();
    if (umount2(mountPoint_.c_str(), MNT_DETACH) != 0 && errno == EPERM) {
      RunCommand({"fusermount3", "-u", "-z", mountPoint_}, {}, kExitMs);
    }
    kill(pid_, SIGTERM);
    Reap(pid_, kExitMs);
  }
  pid_ = -1;
  stalled_ = false;
  if (answersFd_ >= 0) close(answersFd_);
  answersFd_ = -1;
  buffered_.clear();
  if (!mountPoint_.empty()) rmdir(mountPoint_.c_str());
  mountPoint_.clear();
}

// Sends the signal and reads the confirmation, a line starting with `word`.
bool StallFs::Signal(int signalNumber, const std::string& word, std::string* line) {
  line->clear();
  if (pid_ <= 0 || kill(pid_, signalNumber) != 0) return false;
  return ReadLine(kAnswerMs, line) && line->compare(0, word.size(), word) == 0;
}

bool StallFs::ReadLine(int timeoutMs, std::string* line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::string::size_type end = buffered_.find('\n');
    if (end != std::string::npos) {
      *line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (answersFd_ < 0 || left.count() <= 0) return false;
    pollfd entry{answersFd_, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[256];
    const ssize_t got = read(answersFd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffered_.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace testsupport
