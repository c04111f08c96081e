#include "tests/support/net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace testsupport {
namespace {

std::string Joined(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& arg : argv) text += (text.empty() ? "" : " ") + arg;
  return text;
}

bool Succeeded(const std::vector<std::string>& argv, std::string* error) {
  const RunResult result = RunCommand(argv, {});
  if (result.exitStatus == 0) return true;
  if (error != nullptr) *error = Joined(argv) + ": " + result.err + result.out;
  return false;
}

}  // namespace

bool NetNamespace::Available(std::string* why) {
  if (geteuid() != 0) {
    *why = "network namespaces need root";
    return false;
  }
  if (RunCommand({"ip", "-V"}, {}).exitStatus != 0) {
    *why = "iproute2 (ip) is not installed";
    return false;
  }
  NetNamespace probe("probe");
  return probe.Create(why);
}

NetNamespace::NetNamespace(const std::string& tag)
    : name_("mx40r-" + std::to_string(getpid()) + "-" + tag) {}

NetNamespace::~NetNamespace() {
  if (created_) RunCommand({"ip", "netns", "delete", name_}, {});
}

bool NetNamespace::Create(std::string* error) {
  // A namespace left behind by a crashed run of a process with the same id goes first.
  RunCommand({"ip", "netns", "delete", name_}, {});
  if (!Succeeded({"ip", "netns", "add", name_}, error)) return false;
  created_ = true;
  return Ip({"link", "set", "lo", "up"}, error);
}

RunResult NetNamespace::Run(const std::vector<std::string>& argv, int timeoutMs) const {
  std::vector<std::string> command = {"ip", "netns", "exec", name_};
  command.insert(command.end(), argv.begin(), argv.end());
  return RunCommand(command, {}, timeoutMs);
}

bool NetNamespace::Ip(const std::vector<std::string>& args, std::string* error) const {
  std::vector<std::string> command = {"ip", "-n", name_};
  command.insert(command.end(), args.begin(), args.end());
  return Succeeded(command, error);
}

bool NetNamespace::Sysctl(const std::string& key, const std::string& value,
                          std::string* error) const {
  const RunResult result = Run({"sysctl", "-q", "-w", key + "=" + value});
  if (result.exitStatus == 0) return true;
  if (error != nullptr) *error = "sysctl " + key + ": " + result.err;
  return false;
}

bool NetNamespace::EnterOnThisThread() const {
  const int fd = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool entered = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return entered;
}

bool AddVethPair(const NetNamespace& a, const std::string& nameA, const NetNamespace& b,
                 const std::string& nameB, std::string* error) {
  return a.Ip({"link", "add", nameA, "type", "veth", "peer", "name", nameB, "netns", b.Name()},
              error) &&
         a.Ip({"link", "set", nameA, "up"}, error) && b.Ip({"link", "set", nameB, "up"}, error);
}

}  // namespace testsupport
