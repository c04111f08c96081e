// Another process that takes hold of something (a port, a lock) and keeps it until released.
#pragma once

#include <sys/types.h>

#include <functional>

class HolderProcess {
 public:
  HolderProcess() = default;
  ~HolderProcess() { Release(); }
  HolderProcess(const HolderProcess&) = delete;
  HolderProcess& operator=(const HolderProcess&) = delete;

  // Runs `hold` in a child process; true once the child reports that it holds. What it opened
  // stays open until Release, when the child ends without running any destructor.
  bool Start(const std::function<bool()>& hold);
  void Release();

 private:
  pid_t pid_ = -1;
  int releaseFd_ = -1;
};
