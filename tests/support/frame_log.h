// The frames a simulated module has received, in order, for a test to look at from its own thread
// while the module's thread keeps adding to them. One log serves the module on a pty and on TCP.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace modsim {

// "FE 03 0B B8": upper-case, single spaces.
std::string Hex(const std::vector<std::uint8_t>& bytes);

// `Frame` has the received bytes in a member `bytes`. The module derives from the log, so a test
// asks the module itself for its frames.
template <typename Frame>
class FrameLog {
 public:
  std::vector<Frame> Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

  std::vector<std::string> FramesHex() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const Frame& frame : frames_) texts.push_back(Hex(frame.bytes));
    return texts;
  }

  std::size_t FrameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
  }

  // True once at least `count` frames have been received, false after `timeoutMs` without.
  bool WaitForFrames(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return frames_.size() >= count; });
  }

  void ClearFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
  }

 protected:
  FrameLog() = default;
  ~FrameLog() = default;

  // Called by the module's thread once the frame's reply is decided.
  void RecordFrame(Frame frame) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.push_back(std::move(frame));
    }
    changed_.notify_all();
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Frame> frames_;
};

}  // namespace modsim
