#include "tests/support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <tuple>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough for a notice to be waiting for its Enter once it is on the screen.
constexpr int kTypeDelayMs = 200;
// A program that has exited may leave a helper (wineserver) holding its pipes; after this much
// time past the exit the output is taken as complete.
constexpr int kDrainGraceMs = 500;
// Used only when the kernel has no pidfd_open: how often to look whether the child has ended.
constexpr int kExitCheckMs = 20;

std::string g_defaultToolPath;

std::string CrlfToLf(const std::string& text) {
  std::string converted;
  converted.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    converted += text[i];
  }
  return converted;
}

std::vector<std::string> ChildEnvironment(const EnvList& extraEnv) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string key = text.substr(0, text.find('='));
    const bool overridden = std::any_of(extraEnv.begin(), extraEnv.end(),
                                        [&](const auto& extra) { return extra.first == key; });
    if (!overridden && key != "DISPLAY") env.push_back(text);
  }
  for (const auto& [key, value] : extraEnv) {
    std::string entry = key;
    entry += '=';
    entry += value;
    env.push_back(entry);
  }
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

int MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
  return static_cast<int>(
      std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(when - now).count()));
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    data += put;
    length -= static_cast<std::size_t>(put);
  }
}

// Only async-signal-safe calls: the test process has other threads (the module simulator).
[[noreturn]] void ExecChild(char* const* argv, char* const* envp, int outFd, int errFd,
                            const char* terminalPath) {
  setsid();
  if (terminalPath != nullptr) {
    // Opening a tty as a session leader without one makes it the controlling terminal.
    const int tty = open(terminalPath, O_RDWR);
    if (tty >= 0) {
      ioctl(tty, TIOCSCTTY, 0);
      close(tty);
    }
  }
  const int null = open("/dev/null", O_RDONLY);
  dup2(null, STDIN_FILENO);
  dup2(outFd, STDOUT_FILENO);
  dup2(errFd, STDERR_FILENO);
  close_range(3, ~0U, 0);
  execvpe(argv[0], argv, envp);
  static const char kCannotRun[] = "process runner: cannot run ";
  WriteAll(STDERR_FILENO, kCannotRun, sizeof kCannotRun - 1);
  WriteAll(STDERR_FILENO, argv[0], std::strlen(argv[0]));
  WriteAll(STDERR_FILENO, "\n", 1);
  _exit(127);
}

struct Terminal {
  int master = -1;
  int slaveHeld = -1;  // so that the master never reads EIO while the tool has no descriptor
  char path[128] = {};

  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, path, sizeof path) != 0) {
      return false;
    }
    slaveHeld = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    const winsize size = {24, 80, 0, 0};
    return slaveHeld >= 0 && ioctl(master, TIOCSWINSZ, &size) == 0;
  }

  ~Terminal() {
    if (slaveHeld >= 0) close(slaveHeld);
    if (master >= 0) close(master);
  }
};

RunResult Run(const std::vector<std::string>& argv, const EnvList& extraEnv, int timeoutMs,
              bool onTerminal, const std::string& typedInput) {
  RunResult result;
  if (argv.empty()) {
    result.err = "process runner: no command\n";
    result.exitStatus = 127;
    return result;
  }
  std::vector<std::string> argvTexts = argv;
  std::vector<std::string> envTexts = ChildEnvironment(extraEnv);
  std::vector<char*> childArgv = CStrings(argvTexts);
  std::vector<char*> childEnv = CStrings(envTexts);

  Terminal terminal;
  if (onTerminal && !terminal.Open()) {
    result.err = std::string("process runner: no pseudo-terminal: ") + std::strerror(errno) + "\n";
    return result;
  }
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    result.err = std::string("process runner: pipe: ") + std::strerror(errno) + "\n";
    return result;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    result.err = std::string("process runner: pipe: ") + std::strerror(errno) + "\n";
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    ExecChild(childArgv.data(), childEnv.data(), outPipe[1], errPipe[1],
              onTerminal ? terminal.path : nullptr);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    result.err = std::string("process runner: fork: ") + std::strerror(errno) + "\n";
    return result;
  }
  const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

  int outFd = outPipe[0];
  int errFd = errPipe[0];
  const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
  constexpr Clock::time_point kNever = Clock::time_point::max();
  Clock::time_point typeAt = kNever;
  Clock::time_point drainUntil = kNever;
  bool exited = false;
  int status = 0;
  const auto reap = [&](int options) {
    if (!exited && waitpid(pid, &status, options) == pid) {
      exited = true;
      drainUntil = Clock::now() + std::chrono::milliseconds(kDrainGraceMs);
    }
  };

  while (!exited || ((outFd >= 0 || errFd >= 0) && Clock::now() < drainUntil)) {
    const Clock::time_point now = Clock::now();
    Clock::time_point wakeAt = exited ? drainUntil : deadline;
    if (!exited) wakeAt = std::min(wakeAt, typeAt);
    int timeout = MillisecondsUntil(wakeAt, now);
    if (pidFd < 0 && !exited) timeout = std::min(timeout, kExitCheckMs);

    pollfd fds[4];
    int count = 0;
    const auto watch = [&](int fd) {
      if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
      return fd >= 0 ? count - 1 : -1;
    };
    const int outSlot = watch(outFd);
    const int errSlot = watch(errFd);
    const int exitSlot = watch(exited ? -1 : pidFd);
    const int terminalSlot = watch(terminal.master);
    if (poll(fds, static_cast<nfds_t>(count), timeout) < 0 && errno != EINTR) break;

    char buffer[4096];
    for (auto [slot, fd, text] : {std::make_tuple(outSlot, &outFd, &result.out),
                                  std::make_tuple(errSlot, &errFd, &result.err)}) {
      if (slot < 0 || fds[slot].revents == 0) continue;
      const ssize_t got = read(*fd, buffer, sizeof buffer);
      if (got > 0) {
        text->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(*fd);
        *fd = -1;
      }
    }
    if (terminalSlot >= 0 && (fds[terminalSlot].revents & POLLIN) != 0) {
      const ssize_t got = read(terminal.master, buffer, sizeof buffer);
      if (got > 0) {
        result.terminal.append(buffer, static_cast<std::size_t>(got));
        if (typeAt == kNever && !result.typed && !typedInput.empty()) {
          typeAt = Clock::now() + std::chrono::milliseconds(kTypeDelayMs);
        }
      }
    }
    if (exitSlot >= 0 ? fds[exitSlot].revents != 0 : pidFd < 0) reap(WNOHANG);
    if (typeAt != kNever && Clock::now() >= typeAt) {
      typeAt = kNever;
      reap(WNOHANG);
      if (!exited) {
        WriteAll(terminal.master, typedInput.data(), typedInput.size());
        result.typed = true;
      }
    }
    if (!exited && Clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      reap(0);
      result.timedOut = true;
    }
  }
  if (!exited) {
    kill(-pid, SIGKILL);
    reap(0);
  }
  for (int fd : {outFd, errFd, pidFd}) {
    if (fd >= 0) close(fd);
  }
  if (terminal.master >= 0) {
    fcntl(terminal.master, F_SETFL, fcntl(terminal.master, F_GETFL) | O_NONBLOCK);
    char buffer[4096];
    ssize_t got;
    while ((got = read(terminal.master, buffer, sizeof buffer)) > 0) {
      result.terminal.append(buffer, static_cast<std::size_t>(got));
    }
  }
  result.exitStatus = DecodeStatus(status);
  result.out = CrlfToLf(result.out);
  result.err = CrlfToLf(result.err);
  return result;
}

// The tool command, or an empty one and why there is none.
std::vector<std::string> ToolCommandOrReason(std::string* reason) {
  const char* fromEnv = std::getenv("MX40R_TOOL");
  if (fromEnv == nullptr) {
    if (g_defaultToolPath.empty()) {
      *reason = "no tool command (set MX40R_TOOL or call SetDefaultToolPath)";
      return {};
    }
    return {g_defaultToolPath};
  }
  std::optional<std::vector<std::string>> words = SplitCommandWords(fromEnv);
  if (!words) {
    *reason = std::string("MX40R_TOOL has an unmatched double quote: ") + fromEnv;
    return {};
  }
  if (words->empty()) *reason = "MX40R_TOOL is set but holds no command";
  return *std::move(words);
}

RunResult RunWithTool(const std::vector<std::string>& args, const EnvList& extraEnv, int timeoutMs,
                      bool onTerminal, const std::string& typedInput) {
  std::string reason;
  std::vector<std::string> argv = ToolCommandOrReason(&reason);
  if (argv.empty()) {
    RunResult result;
    result.err = "process runner: " + reason + "\n";
    result.exitStatus = 127;
    return result;
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, extraEnv, timeoutMs, onTerminal, typedInput);
}

}  // namespace

void SetDefaultToolPath(std::string path) { g_defaultToolPath = std::move(path); }

std::vector<std::string> ToolCommand() {
  std::string reason;
  return ToolCommandOrReason(&reason);
}

std::optional<std::vector<std::string>> SplitCommandWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  // A word that began, even as "" alone, is a word: an empty argument can be asked for.
  bool inWord = false;
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) return std::nullopt;
  if (inWord) words.push_back(word);
  return words;
}

RunResult RunTool(const std::vector<std::string>& args, const EnvList& extraEnv, int timeoutMs) {
  return RunWithTool(args, extraEnv, timeoutMs, false, "");
}

RunResult RunToolOnTerminal(const std::vector<std::string>& args, const EnvList& extraEnv,
                            const std::string& typedInput, int timeoutMs) {
  return RunWithTool(args, extraEnv, timeoutMs, true, typedInput);
}

RunResult RunCommand(const std::vector<std::string>& argv, const EnvList& extraEnv, int timeoutMs) {
  return Run(argv, extraEnv, timeoutMs, false, "");
}

RunResult RunCommandOnTerminal(const std::vector<std::string>& argv, const EnvList& extraEnv,
                               const std::string& typedInput, int timeoutMs) {
  return Run(argv, extraEnv, timeoutMs, true, typedInput);
}

}  // namespace testsupport
