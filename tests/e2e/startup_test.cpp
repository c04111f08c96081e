// Start-up, dispatch and exit status, the notice, and mistyped arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "platform/clock.h"

namespace e2e {
namespace {

struct RunCase {
  std::vector<std::string> args;
  std::string out;
  int exitStatus;
};

class StartUp : public ToolTest {
 protected:
  // The three variables the C library reads for LC_CTYPE; empty counts as unset.
  struct Locale {
    std::string lcAll;
    std::string lcCtype;
    std::string lang;
  };

  // For a run on a terminal: this test's COM directory, a registry that lists no port (unless the
  // test's own environment names one), and all three locale variables, so that none comes from
  // the environment the tests run in.
  testsupport::EnvList TerminalEnvironment(const Locale& locale) const {
    testsupport::EnvList env = {{"MX40R_COM_DIR", comDirectory_.Path()},
                                {"LC_ALL", locale.lcAll},
                                {"LC_CTYPE", locale.lcCtype},
                                {"LANG", locale.lang}};
    if (std::getenv("MX40R_REGISTRY_DIR") == nullptr) {
      env.emplace_back("MX40R_REGISTRY_DIR", emptyRegistry_.Path());
    }
    return env;
  }

  template <std::size_t N>
  void ExpectRuns(const RunCase (&cases)[N]) {
    for (const RunCase& c : cases) {
      const testsupport::RunResult result = Run(c.args);
      std::string line;
      for (const std::string& arg : c.args) line += "[" + arg + "]";
      EXPECT_EQ(result.out, c.out) << line;
      EXPECT_EQ(result.exitStatus, c.exitStatus) << line;
    }
  }
};

TEST_F(StartUp, DispatchTable) {
  const std::string usage = UsageText();
  const std::string noPorts = "\nNo serial ports found\n\n";
  const RunCase cases[] = {
      {{}, usage, 2},
      {{"NOWARN"}, usage, 2},
      {{"nowarn", "COMPORTS"}, noPorts, 0},
      {{"comports"}, noPorts, 0},
      {{"HELP"}, "\n\n", 0},
      {{"NOWARNX", "COMPORTS"}, "\n\n", 0},
      {{"NOWARN", "COMGETSTATUS", "3"}, "\n\n" + usage, 2},
      {{"COMPORTS", "1", "2"}, noPorts, 0},
      {{"COMSCAN"}, noPorts, 0},
      {{"COMSETMODBUS", "1", "19200"}, "\n\n" + usage, 2},
      {{"COMSETBAUD", "1", "19200"}, "\n\n" + usage, 2},
      {{"IPGETSTATUS"}, "\n\n" + usage, 2},
      {{"IPSETMODBUS", "127.0.0.1"}, "\n\n" + usage, 2},
      {{"COMGETSTATUSX", "3", "19200"}, "\n\n", 0},
      {{"COMGET", "3", "19200"}, "\n\n", 0},
      {{""}, "\n\n", 0},
  };
  ExpectRuns(cases);
}

TEST_F(StartUp, UsageTextIsFiftyTwoLinesOfPlainText) {
  const std::string usage = Run({"NOWARN"}).out;
  EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 52);
  EXPECT_EQ(usage.find(" \n"), std::string::npos) << "no line ends in a blank";
  for (const char c : usage) EXPECT_TRUE(c == '\n' || (c >= ' ' && c < 0x7F));
}

// Every mistyped argument ends in the command's own message, before any port is opened.
TEST_F(StartUp, MistypedArgumentsGetTheirMessage) {
  const std::string port = "\nError: Invalid port\n\n";
  const std::string rate = "\nError: Invalid baud rate\n\n";
  const std::string address = "\nError: Invalid Modbus address\n\n";
  const std::string newRate = "\nError: Invalid new baud rate\n\n";
  const std::string noDevice = "\nError: Failed to initialize COM port\n\n";
  const RunCase cases[] = {
      {{"NOWARN", "COMGETSTATUS", "COM3", "19200"}, port, 0},
      {{"NOWARN", "COMGETSTATUS", "", ""}, port, 0},
      {{"NOWARN", "COMGETSTATUS", "-3", "19200"}, port, 0},
      {{"NOWARN", "COMGETSTATUS", "4294967299", "19200"}, port, 0},
      {{"NOWARN", "COMGETSTATUS", "100", "abc"}, port, 0},
      {{"NOWARN", "COMGETSTATUS", "12", "abc"}, rate, 0},
      {{"NOWARN", "COMGETSTATUS", "12", "4800"}, rate, 0},
      {{"NOWARN", "COMGETSTATUS", "12", "115200"}, rate, 0},
      {{"NOWARN", "COMGETSTATUS", "12", "99999999999"}, rate, 0},
      {{"NOWARN", "COMGETSTATUS", "12", "-19200"}, rate, 0},
      {{"NOWARN", "COMGETSTATUS", "12", "19200", "extra", "more"}, noDevice, 0},
      {{"NOWARN", "COMGETSTATUS", "+12", " 19200"}, noDevice, 0},
      {{"NOWARN", "COMSETMODBUS", "12", "19200", "0"}, address, 0},
      {{"NOWARN", "COMSETMODBUS", "12", "19200", "256"}, address, 0},
      {{"NOWARN", "COMSETMODBUS", "12", "19200", "one"}, address, 0},
      {{"NOWARN", "COMSETMODBUS", "12", "19200", "-1"}, address, 0},
      {{"NOWARN", "COMSETMODBUS", "0", "0", "0"}, port, 0},
      {{"NOWARN", "COMSETMODBUS", "12", "115200", "0"}, rate, 0},
      {{"NOWARN", "COMSETMODBUS", "12", "19200", "255"}, noDevice, 0},
      {{"NOWARN", "COMSETBAUD", "12", "19200", "115200"}, newRate, 0},
      {{"NOWARN", "COMSETBAUD", "12", "19200", ""}, newRate, 0},
      {{"NOWARN", "COMSETBAUD", "12", "4800", "9600"}, rate, 0},
      {{"NOWARN", "COMSETBAUD", "99", "19200", "9600"}, noDevice, 0},
      {{"NOWARN", "COMSETBAUD", "12", "19200", "9600", "x"}, noDevice, 0},
  };
  ExpectRuns(cases);
}

TEST_F(StartUp, NoticeShowsOnceOnTheTerminalAndNeverOnStandardOutput) {
  if (SkipUnderWine("the exe's notice is a message box, never the terminal")) GTEST_SKIP();
  const testsupport::RunResult shown =
      testsupport::RunToolOnTerminal({"COMPORTS"}, TerminalEnvironment({"", "", "C.UTF-8"}), "\n");
  EXPECT_TRUE(shown.typed) << "the tool waited for Enter";
  EXPECT_EQ(shown.out, "\nNo serial ports found\n\n");
  EXPECT_EQ(shown.exitStatus, 0);
  const std::string& terminal = shown.terminal;
  std::size_t first = terminal.find("Acceptance of Use");
  ASSERT_NE(first, std::string::npos) << terminal;
  EXPECT_EQ(terminal.find("Acceptance of Use", first + 1), std::string::npos);
  EXPECT_NE(terminal.find("This software is provided \xE2\x80\x9C"
                          "as is\xE2\x80\x9D, without"),
            std::string::npos)
      << terminal;
  EXPECT_NE(terminal.find("from its use."), std::string::npos);

  const testsupport::RunResult skipped = testsupport::RunToolOnTerminal(
      {"COMPORTS", "NoWarn"}, TerminalEnvironment({"", "", "C.UTF-8"}), "\n");
  EXPECT_EQ(skipped.terminal, "");
  EXPECT_EQ(skipped.out, "\nNo serial ports found\n\n");
}

// The quotes follow the character set of the locale that the C library takes for LC_CTYPE, by
// whatever spelling names it; a set without curly quotes gets plain ones and no byte above ASCII.
// A locale that is not installed here counts by the set its name gives.
TEST_F(StartUp, NoticeQuotesFollowTheTerminalsCharacterSet) {
  if (SkipUnderWine("the exe's notice is a message box, never the terminal")) GTEST_SKIP();
  const std::string utf8Open = "\xE2\x80\x9C";
  const std::string utf8Close = "\xE2\x80\x9D";
  struct QuoteCase {
    Locale locale;
    std::string open;
    std::string close;
  };
  const QuoteCase cases[] = {
      {{"", "", "C.UTF-8"}, utf8Open, utf8Close},
      {{"", "", "C.utf8"}, utf8Open, utf8Close},
      {{"", "", "C.Utf-8"}, utf8Open, utf8Close},
      {{"", "", "C.UTF8"}, utf8Open, utf8Close},
      {{"", "", "en_US.UTF-8"}, utf8Open, utf8Close},
      {{"C.utf8", "", "C"}, utf8Open, utf8Close},
      {{"", "C.Utf-8", "C"}, utf8Open, utf8Close},
      {{"", "", "de_DE.CP1252"}, "\x93", "\x94"},
      {{"", "", "C"}, "\"", "\""},
      {{"", "", "POSIX"}, "\"", "\""},
      {{"", "", ""}, "\"", "\""},
      {{"C", "", "C.UTF-8"}, "\"", "\""},
      {{"", "C", "C.UTF-8"}, "\"", "\""},
      {{"", "", "en_US.ISO-8859-1"}, "\"", "\""},
  };
  for (const QuoteCase& c : cases) {
    const std::string line =
        "LC_ALL=" + c.locale.lcAll + " LC_CTYPE=" + c.locale.lcCtype + " LANG=" + c.locale.lang;
    const testsupport::RunResult shown =
        testsupport::RunToolOnTerminal({"COMPORTS"}, TerminalEnvironment(c.locale), "\n");
    EXPECT_TRUE(shown.typed) << line;
    EXPECT_EQ(shown.out, "\nNo serial ports found\n\n") << line;
    EXPECT_EQ(shown.err, "") << line;
    EXPECT_EQ(shown.exitStatus, 0) << line;
    EXPECT_NE(shown.terminal.find("provided " + c.open + "as is" + c.close + ", without"),
              std::string::npos)
        << line << "\n"
        << shown.terminal;
    std::string expectedHigh;
    for (const char q : c.open + c.close) {
      if (static_cast<unsigned char>(q) >= 0x80) expectedHigh += q;
    }
    std::string high;
    for (const char q : shown.terminal) {
      if (static_cast<unsigned char>(q) >= 0x80) high += q;
    }
    EXPECT_EQ(high, expectedHigh) << line << ": every byte above ASCII on the terminal";
  }
}

// Nowhere to show the notice (no controlling terminal; under Wine no DISPLAY, so that MessageBoxA
// fails): the run goes on at once as if it had been dismissed.
TEST_F(StartUp, NoticeWithNowhereToShowItLetsTheRunGoOn) {
  const std::uint32_t start = platform::TickCountMs();
  const testsupport::RunResult result = Run({}, 20000);
  const std::uint32_t elapsed = platform::TickCountMs() - start;
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.out, UsageText());
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_LT(elapsed, 10000u) << "the run waited for the notice";
}

}  // namespace
}  // namespace e2e
