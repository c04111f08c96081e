// The stallfs file system (stallfs.cpp) for one test: mounted on a fresh directory, told from here
// when to stop answering and when to answer again, and taken down at the end. A process waiting
// for an answer that the stalled file system holds back ends for no signal, SIGKILL included, so
// whoever stalls it resumes it before killing or waiting for such a process; Stop resumes first.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

class StallFs {
 public:
  StallFs() = default;
  ~StallFs() { Stop(); }
  StallFs(const StallFs&) = delete;
  StallFs& operator=(const StallFs&) = delete;

  // Whether stallfs was built: it needs libfuse3 (Debian's libfuse3-dev) at configure time.
  static bool Built();

  // Mounts it on a fresh directory under /tmp; false with the reason in `error`. The file system
  // gets SIGTERM, and so answers and unmounts, should the thread that started it end first.
  bool Start(std::string* error = nullptr);
  const std::string& MountPoint() const { return mountPoint_; }
  // The regular file it serves.
  std::string FilePath() const { return mountPoint_ + "/held"; }

  // From now on every request waits; true once the file system confirms.
  bool Stall();
  // Gives the answers held back; how many there were, 0 when not stalled, -1 when the file
  // system did not confirm.
  int Resume();
  bool Stalled() const { return stalled_; }
  // Resumes, unmounts (lazily, should a file on it still be open), ends the file system and
  // removes the directory. Release whatever keeps a file open on the mount before.
  void Stop();

 private:
  bool Signal(int signalNumber, const std::string& word, std::string* line);
  bool ReadLine(int timeoutMs, std::string* line);

  pid_t pid_ = -1;
  int answersFd_ = -1;
  std::string buffered_;
  std::string mountPoint_;
  bool stalled_ = false;
};

}  // namespace testsupport
