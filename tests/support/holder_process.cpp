#include "tests/support/holder_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

namespace testsupport {
namespace {

// Every descriptor from 3 up but `a` and `b`: a child that kept the test's descriptors would
// hold whatever the test has open, the master of each of its pseudo-terminals among them, and so
// be the far end of those ptys rather than another program.
void CloseAllBut(int a, int b) {
  if (a > b) std::swap(a, b);
  const auto closeRange = [](int first, int last) {
    if (first <= last) close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0);
  };
  closeRange(3, a - 1);
  closeRange(a + 1, b - 1);
  closeRange(b + 1, INT_MAX);
}

}  // namespace

bool HolderProcess::Start(const std::function<bool()>& hold, const std::function<void()>& letGo) {
  int ready[2];
  int release[2];
  if (pipe(ready) != 0) return false;
  if (pipe(release) != 0) {
    close(ready[0]);
    close(ready[1]);
    return false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    CloseAllBut(ready[1], release[0]);
    char state = hold() ? '1' : '0';
    if (write(ready[1], &state, 1) != 1) _exit(2);
    while (read(release[0], &state, 1) < 0 && errno == EINTR) {
    }
    if (letGo) letGo();
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  releaseFd_ = release[1];
  char state = '0';
  const bool reported = pid_ > 0 && read(ready[0], &state, 1) == 1;
  close(ready[0]);
  return reported && state == '1';
}

void HolderProcess::Release() {
  if (releaseFd_ >= 0) close(releaseFd_);
  releaseFd_ = -1;
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace testsupport
