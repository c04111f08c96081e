// Another process that takes hold of something (a port, a lock) and keeps it until released.
#pragma once

#include <sys/types.h>

#include <functional>

namespace testsupport {

class HolderProcess {
 public:
  HolderProcess() = default;
  ~HolderProcess() { Release(); }
  HolderProcess(const HolderProcess&) = delete;
  HolderProcess& operator=(const HolderProcess&) = delete;

  // Runs `hold` in a child process; true once the child reports that it holds. The child starts
  // with none of the test's descriptors but standard input, output and error, as another program
  // would. What it opened stays open until Release, when the child runs `letGo` (if any) and
  // ends without running any destructor.
  bool Start(const std::function<bool()>& hold, const std::function<void()>& letGo = {});
  void Release();

 private:
  pid_t pid_ = -1;
  int releaseFd_ = -1;
};

}  // namespace testsupport
