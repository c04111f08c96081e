// Network namespaces that a test makes for itself (root only), so that echo probes and adapter
// listings can meet interfaces, addresses and responders the test controls without touching the
// machine's own network. Made with iproute2; Linux only.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/process_runner.h"

namespace testsupport {

class NetNamespace {
 public:
  // True when this process may make namespaces (root, iproute2 present); else the reason.
  static bool Available(std::string* why);

  // The namespace is named after this process and `tag`, so parallel tests never meet.
  explicit NetNamespace(const std::string& tag);
  ~NetNamespace();
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  // Makes the namespace with its loopback up.
  bool Create(std::string* error);
  const std::string& Name() const { return name_; }

  // `argv` inside the namespace (ip netns exec), with a fresh /sys of its own.
  RunResult Run(const std::vector<std::string>& argv, int timeoutMs = 30000) const;
  // `ip -n <this> args...`; false with the command's error output in `error`.
  bool Ip(const std::vector<std::string>& args, std::string* error) const;
  bool Sysctl(const std::string& key, const std::string& value, std::string* error) const;
  // Moves the calling thread (only) into the namespace; sockets it then opens live there.
  bool EnterOnThisThread() const;

 private:
  std::string name_;
  bool created_ = false;
};

// A veth pair: `nameA` in `a`, `nameB` in `b` (which may be `a`), both up.
bool AddVethPair(const NetNamespace& a, const std::string& nameA, const NetNamespace& b,
                 const std::string& nameB, std::string* error);

// Runs `work` on a thread of its own inside `ns` and returns its result once it is done.
template <typename Result>
Result RunInNamespace(const NetNamespace& ns, const std::function<Result()>& work) {
  Result result{};
  std::thread thread([&] {
    if (ns.EnterOnThisThread()) result = work();
  });
  thread.join();
  return result;
}

}  // namespace testsupport
