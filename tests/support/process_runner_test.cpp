// The splitting of MX40R_TOOL into the tool command: the Windows leg names the exe by a path that
// holds a space wherever the checkout's path does, so such a path must stay one word.
#include "tests/support/process_runner.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {
namespace {

using Words = std::vector<std::string>;

// Sets MX40R_TOOL for one test and restores it as the test found it.
class ToolVariable {
 public:
  explicit ToolVariable(const std::string& value) {
    if (const char* old = std::getenv("MX40R_TOOL")) saved_ = old;
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

}  // namespace
}  // namespace testsupport
