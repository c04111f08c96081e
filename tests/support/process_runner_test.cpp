// The process runner of the end-to-end tests: output, status, environment, time-out and terminal,
// and the splitting of MX40R_TOOL into the tool command (the Windows leg names the exe by a path
// that holds a space wherever the checkout's path does, so such a path must stay one word).
#include "tests/support/process_runner.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {
namespace {

using Words = std::vector<std::string>;

// Restores MX40R_TOOL as the test found it; the second form sets it for the test.
class ToolVariable {
 public:
  ToolVariable() {
    if (const char* old = std::getenv("MX40R_TOOL")) saved_ = old;
  }
  explicit ToolVariable(const std::string& value) : ToolVariable() {
    setenv("MX40R_TOOL", value.c_str(), 1);
  }
  ~ToolVariable() {
    if (saved_) {
      setenv("MX40R_TOOL", saved_->c_str(), 1);
    } else {
      unsetenv("MX40R_TOOL");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(ToolCommandTest, SplitsAtBlanksOutsideDoubleQuotes) {
  struct Case {
    std::string text;
    std::optional<Words> words;  // no value: refused
  };
  const Case cases[] = {
      {"", Words{}},
      {" \t ", Words{}},
      {"/opt/mx40r", Words{"/opt/mx40r"}},
      {" wine  /x/mx40r.exe ", Words{"wine", "/x/mx40r.exe"}},
      {"wine\t/x/mx40r.exe", Words{"wine", "/x/mx40r.exe"}},
      {"wine \"/tmp/My Projects/mx40r.exe\"", Words{"wine", "/tmp/My Projects/mx40r.exe"}},
      {"\"/tmp/My Projects/mx40r\"", Words{"/tmp/My Projects/mx40r"}},
      {"/tmp/My\" \"Projects/mx40r", Words{"/tmp/My Projects/mx40r"}},
      {"\"a\"b\"c  d\" e", Words{"abc  d", "e"}},
      {"\"tab\there\"", Words{"tab\there"}},
      {"a \"\" b", Words{"a", "", "b"}},
      {"\"\"", Words{""}},
      {"wine \"/tmp/My Projects/mx40r.exe", std::nullopt},
      {"\"", std::nullopt},
      {"a\"b\"c\"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("[" + c.text + "]");
    EXPECT_EQ(SplitCommandWords(c.text), c.words);
  }
}

TEST(ToolCommandTest, ToolCommandTakesTheWordsOfTheVariable) {
  {
    ToolVariable tool("wine \"/tmp/My Projects/mx40r.exe\" NOWARN");
    EXPECT_EQ(ToolCommand(), (Words{"wine", "/tmp/My Projects/mx40r.exe", "NOWARN"}));
  }
  ToolVariable tool("wine \"/tmp/My Projects/mx40r.exe");
  EXPECT_EQ(ToolCommand(), Words{});
  const RunResult result = RunTool({"NOWARN"}, {});
  EXPECT_EQ(result.exitStatus, 127);
  EXPECT_NE(result.err.find("unmatched double quote"), std::string::npos) << result.err;
}

// The whole way: a program in a folder whose name holds a space runs, and gets its arguments.
TEST(ToolCommandTest, RunsAToolWhosePathHoldsASpace) {
  char pattern[] = "/tmp/process runner XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  const std::string program = folder + "/my tool";
  {
    std::ofstream script(program);
    script << "#!/bin/sh\nfor word in \"$@\"; do echo \"[$word]\"; done\n";
  }
  ASSERT_EQ(chmod(program.c_str(), 0700), 0);

  RunResult result;
  {
    ToolVariable tool("\"" + program + "\" \"two words\" \"\"");
    result = RunTool({"last one"}, {});
  }
  unlink(program.c_str());
  rmdir(folder.c_str());
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "[two words]\n[]\n[last one]\n");
  EXPECT_EQ(result.exitStatus, 0);
}

using Clock = std::chrono::steady_clock;

RunResult Shell(const std::string& script, const EnvList& env = {}, int timeoutMs = 10000) {
  return RunCommand({"/bin/sh", "-c", script}, env, timeoutMs);
}

TEST(ProcessRunnerTest, CapturesOutputErrorAndExitStatus) {
  struct Case {
    std::string script;
    std::string out;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {"echo hi; exit 3", "hi\n", "", 3},
      {"echo to-err >&2; printf out", "out", "to-err\n", 0},
      {"printf 'a\\r\\nb\\rc\\r\\n'", "a\nb\rc\n", "", 0},
      {"kill -TERM $$", "", "", 128 + 15},
      {"cat; echo $?", "0\n", "", 0},  // stdin is /dev/null
      {"if (exec 3</dev/tty) 2>/dev/null; then echo tty; else echo none; fi", "none\n", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const RunResult result = Shell(c.script);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_FALSE(result.timedOut);
  }
}

TEST(ProcessRunnerTest, EnvironmentIsExtendedAndDisplayDropped) {
  setenv("DISPLAY", ":99", 1);
  setenv("MODSIM_TEST_KEEP", "kept", 1);
  const RunResult result = Shell("echo \"${DISPLAY-unset} $MODSIM_TEST_KEEP $A $B\"",
                                 {{"A", "one"}, {"B", "two words"}, {"MODSIM_TEST_KEEP", "new"}});
  unsetenv("DISPLAY");
  unsetenv("MODSIM_TEST_KEEP");
  EXPECT_EQ(result.out, "unset new one two words\n");
}

TEST(ProcessRunnerTest, TimeOutKillsTheWholeGroup) {
  const Clock::time_point start = Clock::now();
  // The background sleep holds the pipes too: only killing the group ends the run early.
  const RunResult result = Shell("echo started; sleep 20 & sleep 20", {}, 300);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 128 + 9);
  EXPECT_EQ(result.out, "started\n");
  EXPECT_LT(took.count(), 3000);
}

TEST(ProcessRunnerTest, ToolCommandComesFromTheEnvironmentOrTheDefault) {
  ToolVariable restore;
  unsetenv("MX40R_TOOL");
  SetDefaultToolPath("");
  RunResult result = RunTool({"x"}, {});
  EXPECT_EQ(result.exitStatus, 127);
  EXPECT_NE(result.err, "");

  SetDefaultToolPath("/bin/echo");
  result = RunTool({"a", "b"}, {});
  EXPECT_EQ(result.out, "a b\n");

  setenv("MX40R_TOOL", " /bin/sh  -c ", 1);
  EXPECT_EQ(ToolCommand(), (std::vector<std::string>{"/bin/sh", "-c"}));
  result = RunTool({"echo hi; exit 3"}, {});
  EXPECT_EQ(result.out, "hi\n");
  EXPECT_EQ(result.exitStatus, 3);

  setenv("MX40R_TOOL", "/nonexistent/mx40r", 1);
  result = RunTool({}, {});
  EXPECT_EQ(result.exitStatus, 127);
  EXPECT_NE(result.err.find("/nonexistent/mx40r"), std::string::npos);
  SetDefaultToolPath("");
}

TEST(ProcessRunnerTest, TerminalShowsWhatStdoutDoesNot) {
  const RunResult result = RunCommandOnTerminal(
      {"/bin/sh", "-c", "printf 'Press Enter' >/dev/tty; read line </dev/tty; echo got:$line"}, {},
      "yes\n", 10000);
  EXPECT_TRUE(result.typed);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.out, "got:yes\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.terminal, "Press Enteryes\r\n");
  EXPECT_EQ(result.exitStatus, 0);
}

TEST(ProcessRunnerTest, TerminalInputIsNotTypedWhenNothingWaits) {
  const RunResult result =
      RunCommandOnTerminal({"/bin/sh", "-c", "printf shown >/dev/tty"}, {}, "\n", 10000);
  EXPECT_FALSE(result.typed);
  EXPECT_EQ(result.terminal, "shown");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace testsupport
