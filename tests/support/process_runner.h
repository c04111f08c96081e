// Runs the built tool as a black box for end-to-end tests: its own session without a controlling
// terminal (so that the acceptance notice never waits), stdin from /dev/null, stdout and stderr
// captured apart, a time-out that kills the whole process group.
//
// The tool command is the environment variable MX40R_TOOL split into words when it is set (for
// example `wine "/home/me/My Projects/mx40r/build-win/cli/mx40r.exe"`), otherwise the path given
// to SetDefaultToolPath; an e2e test passes $<TARGET_FILE:mx40r> to its executable as a compile
// definition and hands it to SetDefaultToolPath before running anything. Words are split as a
// shell would split them with double quotes alone: spaces and tabs separate words except between
// double quotes, which are dropped, so that a path with a space is one quoted word. There is no
// escape character, so a word cannot hold a double quote.
//
// The child's environment is the test's, without DISPLAY (so that under Wine MessageBoxA cannot
// show a box; put DISPLAY in extraEnv to keep it), with extraEnv added or overriding.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct RunResult {
  std::string out;        // standard output, every CRLF turned into LF
  std::string err;        // standard error, the same way
  int exitStatus = -1;    // the exit code, or 128 + the signal that ended the process
  bool timedOut = false;  // killed (SIGKILL to its process group) after the time-out
  std::string terminal;   // RunToolOnTerminal: what the terminal showed, bytes as they came
  bool typed = false;     // RunToolOnTerminal: typedInput was written while the tool still ran
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

void SetDefaultToolPath(std::string path);
// MX40R_TOOL split into words, else the default path; empty when neither is set, and when
// MX40R_TOOL is blank or has an unmatched double quote.
std::vector<std::string> ToolCommand();
// The splitting of MX40R_TOOL; no value when a double quote is left open.
std::optional<std::vector<std::string>> SplitCommandWords(const std::string& text);

// The tool command followed by `args`. Without a tool command: exit status 127 and a reason in err.
RunResult RunTool(const std::vector<std::string>& args, const EnvList& extraEnv,
                  int timeoutMs = 30000);

// As RunTool, but a new pseudo-terminal is the tool's controlling terminal (stdin stays
// /dev/null, stdout and stderr stay pipes, so stdout can be checked to hold nothing of what the
// terminal shows). `typedInput` is written to the terminal 200 ms after the terminal first shows
// something; the terminal keeps its default cooked mode, so the typed input echoes into
// `terminal` and every LF shown there arrives as CR LF.
RunResult RunToolOnTerminal(const std::vector<std::string>& args, const EnvList& extraEnv,
                            const std::string& typedInput, int timeoutMs = 30000);

// The same for any command line (argv[0] is searched in PATH).
RunResult RunCommand(const std::vector<std::string>& argv, const EnvList& extraEnv,
                     int timeoutMs = 30000);
RunResult RunCommandOnTerminal(const std::vector<std::string>& argv, const EnvList& extraEnv,
                               const std::string& typedInput, int timeoutMs = 30000);

}  // namespace testsupport
