// quorvex body and quorvex send, run as the built program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "QXSDK/QXSDKConstants.h"
#include "core/QXUtils.h"
#include "delivery_support.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

class QuorvexToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef QUORVEX_TOOL_PATH
    GTEST_SKIP() << "the quorvex tool is not built in this configuration";
#endif
    qxtest::bypassProxiesForLoopback();
  }

  // Runs `quorvex <arguments>` to its end with its data, where it keeps any,
  // in this test's directory; returns the exit status.
  int run(std::vector<std::string> arguments) {
#ifdef QUORVEX_TOOL_PATH
    const bool persists = arguments[0] == "send" || std::find(arguments.begin(), arguments.end(),
                                                              "--persist") != arguments.end();
    if (persists) arguments.insert(arguments.begin() + 1, {"--data-dir", dataDirectory()});
    arguments.insert(arguments.begin(), QUORVEX_TOOL_PATH);
#endif
    tool = std::make_unique<qxtest::ChildProcess>(arguments, std::vector<std::string>{});
    return tool->wait(30s).value_or(-1);
  }

  std::vector<std::string> outputLines() const {
    std::vector<std::string> lines;
    std::istringstream in(tool->out());
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

  std::string dataDirectory() const {
    return directory.file("data");
  }

  qxtest::TempDirectory directory;
  std::unique_ptr<qxtest::ChildProcess> tool;
};

TEST_F(QuorvexToolTest, BodyPrintsOneBodyPerHitWithEverySourceInIt) {
  ASSERT_EQ(run({"body", "--hits", "2", "--app-version", "2.0", "--permanent", "user=42", "--app",
                 "event=buy", "--product", "basket:product_id=A1,colour=red", "page=a&b"}),
            0)
      << tool->err();
  const auto bodies = outputLines();
  ASSERT_EQ(bodies.size(), 2u);
  for (const std::string& body : bodies) {
    EXPECT_EQ(qxtest::fieldOf(body, "page"), "a&b");
    EXPECT_EQ(qxtest::fieldOf(body, "user"), "42");
    EXPECT_EQ(qxtest::fieldOf(body, "event"), "buy");
    EXPECT_EQ(qxtest::fieldOf(body, "basket[product_id][0]"), "A1");
    EXPECT_EQ(qxtest::fieldOf(body, "basket[colour][0]"), "red");
    EXPECT_EQ(qxtest::fieldOf(body, "QX_QUORVEX_VERSION"), kQXSDKVersion);
  }
  EXPECT_EQ(qxtest::fieldOf(bodies[0], "QX_FIRST_EXECUTE"), "TRUE");
  EXPECT_EQ(qxtest::fieldOf(bodies[1], "QX_FIRST_EXECUTE"), "FALSE");
  EXPECT_EQ(bodies[0].find("page=a%26b"), bodies[0].find("page="));
}

// Without --persist a body is a new installation's, kept in memory: the
// data directory is neither created nor changed, whatever was there.
TEST_F(QuorvexToolTest, BodyLeavesTheDataDirectoryAloneUnlessAskedToPersist) {
  const std::string home = directory.file("home");
  const std::string persisted = directory.file("home/.local/share/quorvex/quorvex");
  // The default data directory is the user's: HOME points into the test's.
  auto body = [&](std::vector<std::string> arguments) {
#ifdef QUORVEX_TOOL_PATH
    arguments.insert(arguments.begin(), QUORVEX_TOOL_PATH);
#endif
    qxtest::ChildProcess child(arguments, {"HOME=" + home, "XDG_DATA_HOME="});
    EXPECT_EQ(child.wait(30s), 0) << child.err();
    EXPECT_TRUE(child.err().empty()) << child.err();
    return child.out();
  };
  struct Launch {
    bool persist;
    const char* starts;
    const char* firstVisit;
  };
  // A launch in memory between two persisted ones changes nothing stored.
  const Launch launches[] = {
      {false, "1", "TRUE"}, {true, "1", "TRUE"}, {false, "1", "TRUE"}, {true, "2", "FALSE"}};
  std::string stored;
  for (const Launch& launch : launches) {
    std::vector<std::string> arguments = {"body", "--app-version", "1.0", "page=x"};
    if (launch.persist) arguments.push_back("--persist");
    const std::string hit = body(arguments);
    EXPECT_EQ(qxtest::fieldOf(hit, "QX_APPLICATION_STARTS"), launch.starts);
    EXPECT_EQ(qxtest::fieldOf(hit, "QX_IS_FIRST_VISIT"), launch.firstVisit);
    const std::string now = qxtest::readFile(persisted + "/user-defaults.qxud");
    if (launch.persist) {
      EXPECT_NE(now, stored);
    } else {
      EXPECT_EQ(now, stored);
    }
    stored = now;
  }
  EXPECT_EQ(qxtest::readFile(home + "/.local/share/quorvex/quorvex/outbox.sqlite"), "");
}

TEST_F(QuorvexToolTest, VersionPrintsTheSDKsVersion) {
  ASSERT_EQ(run({"--version"}), 0) << tool->err();
  EXPECT_EQ(tool->out(), std::string("quorvex ") + kQXSDKVersion + "\n");
  EXPECT_TRUE(tool->err().empty());
}

TEST_F(QuorvexToolTest, TheApplicationLocaleAndScreenComeFromTheFlags) {
  ASSERT_EQ(run({"body", "--locale", "fr_FR", "--screen", "390x844", "--bundle-id", "com.example",
                 "--app-name", "Shop", "--app-build", "77", "page=x"}),
            0)
      << tool->err();
  const auto bodies = outputLines();
  ASSERT_EQ(bodies.size(), 1u);
  const std::pair<const char*, const char*> expected[] = {
      {"QX_LANGUAGE", "fr_FR"},
      {"QX_LANGUAGE_GA", "fr-FR"},
      {"QX_CURRENCY_CODE", "EUR"},
      {"QX_SCREEN", "390x844"},
      {"QX_BUNDLE_IDENTIFIER", "com.example"},
      {"QX_APPLICATION_NAME", "Shop"},
      {"QX_APPLICATION_BUILD", "77"},
  };
  for (const auto& [name, value] : expected) {
    EXPECT_EQ(qxtest::fieldOf(bodies[0], name), value) << name;
  }
}

TEST_F(QuorvexToolTest, ADeactivatedTrackerMakesOnlyConsentHits) {
  ASSERT_EQ(run({"body", "--deactivate", "page=x"}), 0) << tool->err();
  EXPECT_TRUE(outputLines().empty());
  ASSERT_EQ(run({"body", "--deactivate", "--consent", "page=x"}), 0) << tool->err();
  const auto bodies = outputLines();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(qxtest::fieldOf(bodies[0], "CONSENT_HIT"), "1");
  EXPECT_EQ(qxtest::fieldOf(bodies[0], "page"), std::nullopt);
}

TEST_F(QuorvexToolTest, SendDeliversEveryHitAndSucceedsOnlyThen) {
  QXCollector collector;
  ASSERT_TRUE(collector.start().ok());
  ASSERT_EQ(run({"send", "--url", collector.url("/7/"), "--hits", "3", "page=home"}), 0)
      << tool->err();
  EXPECT_NE(tool->out().find("3 hits executed, 3 delivered"), std::string::npos) << tool->out();
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.target, "/7/");
    EXPECT_EQ(qxtest::fieldOf(request.body, "page"), "home");
  }

  QXCollector::Options refusing;
  refusing.status = 400;
  QXCollector refusingCollector(refusing);
  ASSERT_TRUE(refusingCollector.start().ok());
  EXPECT_EQ(run({"send", "--url", refusingCollector.url("/7/"), "page=home"}), 1);
  EXPECT_NE(tool->out().find("1 dropped"), std::string::npos) << tool->out();
}

// The application's name and version go into the User-Agent header; a line
// break in them must not become a header line of its own at the collector.
TEST_F(QuorvexToolTest, ControlBytesInTheApplicationNameStayOutOfTheHeaders) {
  QXCollector collector;
  ASSERT_TRUE(collector.start().ok());
  const std::string name = "Shop\r\nX-Injected: yes";
  ASSERT_EQ(run({"send", "--url", collector.url("/7/"), "--app-name", name, "--app-version",
                 "1.0\n\x01\x7f\r\nX-Second: 2\r\n", "page=home"}),
            0)
      << tool->err();
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  size_t agents = 0;
  for (const auto& [header, value] : requests[0].headers) {
    EXPECT_NE(header, "X-Injected");
    EXPECT_NE(header, "X-Second");
    if (QXUtils::equalsIgnoringCase(header, "User-Agent")) ++agents;
  }
  EXPECT_EQ(agents, 1u);
  // The body keeps the name as it was given.
  EXPECT_EQ(qxtest::fieldOf(requests[0].body, "QX_APPLICATION_NAME"), name);
  const std::string agent = requests[0].header("User-Agent");
  EXPECT_EQ(agent.rfind("Shop", 0), 0u) << agent;
  for (const char c : agent) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte >= 0x20 && byte != 0x7f) << "byte " << int{byte} << " in " << agent;
  }
}

TEST_F(QuorvexToolTest, SendGivesUpAfterItsTimeoutWhenNothingAnswers) {
  const std::string url = "http://127.0.0.1:" + std::to_string(qxtest::closedPort()) + "/7/";
  EXPECT_EQ(run({"send", "--url", url, "--timeout", "1", "page=home"}), 1);
  EXPECT_NE(tool->out().find("1 waiting"), std::string::npos) << tool->out();
}

// A data directory lent by another user or open to others is not used: the
// state stays in memory, standard error says why once, and nothing is
// written there.
TEST_F(QuorvexToolTest, ABorrowedDataDirectoryIsNotUsedAndSaysWhyOnce) {
  struct Case {
    const char* what;
    mode_t mode;
    bool anotherUsers;  // given away, which only root can do
    const char* said;
  };
  const Case cases[] = {
      {"open to every user", 0777, false, "is writable by every user (mode 0777)"},
      {"open to its group", 0770, false, "is writable by its group"},
      {"another user's", 0700, true, "belongs to user 65534"},
  };
  const std::string data = directory.file("data");
  for (const Case& c : cases) {
    if (c.anotherUsers && ::geteuid() != 0) continue;
    std::filesystem::remove_all(data);
    ASSERT_EQ(::mkdir(data.c_str(), c.mode), 0);
    ASSERT_EQ(::chmod(data.c_str(), c.mode), 0);
    if (c.anotherUsers) {
      ASSERT_EQ(::chown(data.c_str(), qxtest::kUnprivilegedUser, qxtest::kUnprivilegedUser), 0);
    }
    ASSERT_EQ(run({"body", "--persist", "page=x"}), 0) << c.what << "\n" << tool->err();
    const std::string& err = tool->err();
    const size_t said = err.find("is not used");
    ASSERT_NE(said, std::string::npos) << c.what << "\n" << err;
    EXPECT_EQ(err.find("is not used", said + 1), std::string::npos) << c.what << "\n" << err;
    EXPECT_NE(err.find(c.said), std::string::npos) << c.what << "\n" << err;
    EXPECT_NE(err.find("state is kept in memory only"), std::string::npos) << c.what;
    EXPECT_TRUE(std::filesystem::is_empty(data)) << c.what;
  }
}

TEST_F(QuorvexToolTest, BadOptionsGiveOneLineAndStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"body", "--bogus"},
      {"body", "--hits"},
      {"body", "--hits", "0"},
      {"body", "--site", "12x"},
      {"body", "--product", "A1"},
      {"body", "no-equals-sign"},
      {"body", "--timeout", "3"},
      {"send", "--timeout", "-1"},
      {"send", "--log-level", "9"},
      {"body", "--permanent", "novalue"},
      {"body", "--screen", "390"},
      {"body", "--screen", "-1x5"},
      {"body", "--site", "0x10"},
      {"body", "--hits", "99999999999999999999"},
      {"body", "--site", " 7"},
      {"body", "--product", "b:product_id=A1,"},
      {"send", "--url"},
      {"body", "--hits="},
      {"send", "page=x"},                        // never the production collector by default
      {"body", "--data-dir", "/tmp", "page=x"},  // a data directory is for --persist
  };
  for (const auto& arguments : cases) {
    EXPECT_EQ(run(arguments), 2) << arguments[1];
    EXPECT_EQ(std::count(tool->err().begin(), tool->err().end(), '\n'), 1) << tool->err();
    EXPECT_TRUE(tool->out().empty());
  }
}

TEST_F(QuorvexToolTest, AnUnknownOptionIsNamedRatherThanTheWordAfterIt) {
  EXPECT_EQ(run({"body", "--timeout", "3", "page=x"}), 2);
  EXPECT_NE(tool->err().find("quorvex body: unknown option '--timeout'"), std::string::npos)
      << tool->err();
}

TEST_F(QuorvexToolTest, NumbersAreDecimalAndARepeatedOptionTakesItsLastValue) {
  ASSERT_EQ(
      run({"body", "--hits=3", "--hits", "010", "--permanent", "a=1", "--permanent=b=2", "page=x"}),
      0)
      << tool->err();
  const auto bodies = outputLines();
  ASSERT_EQ(bodies.size(), 10u);
  EXPECT_EQ(qxtest::fieldOf(bodies[0], "a"), "1");
  EXPECT_EQ(qxtest::fieldOf(bodies[0], "b"), "2");
}

TEST_F(QuorvexToolTest, EachCommandsHelpListsItsOwnOptions) {
  const std::vector<std::string> shared = {
      "--site",     "--container",  "--url",     "--data-dir", "--app-version", "--app-build",
      "--app-name", "--bundle-id",  "--locale",  "--screen",   "--permanent",   "--app",
      "--consent",  "--deactivate", "--product", "--hits",     "--log-level",   "key=value"};
  for (const std::string command : {"body", "send"}) {
    ASSERT_EQ(run({command, "--help"}), 0) << tool->err();
    EXPECT_TRUE(tool->err().empty()) << tool->err();
    EXPECT_NE(tool->out().find("Usage: quorvex " + command + " [OPTIONS]"), std::string::npos)
        << tool->out();
    for (const std::string& option : shared)
      EXPECT_NE(tool->out().find(option + " "), std::string::npos) << command << " " << option;
    EXPECT_EQ(tool->out().find("--timeout") != std::string::npos, command == "send");
    EXPECT_EQ(tool->out().find("--persist") != std::string::npos, command == "body");
  }
}

TEST(QuorvexToolUsage, TheToolsHelpNamesEveryCommandAndNoCommandIsBadUsage) {
#ifndef QUORVEX_TOOL_PATH
  GTEST_SKIP() << "the quorvex tool is not built in this configuration";
#else
  qxtest::ChildProcess help({QUORVEX_TOOL_PATH, "--help"}, {});
  EXPECT_EQ(help.wait(30s), 0);
  for (const char* command : {"body", "send", "collect"})
    EXPECT_NE(help.out().find(std::string("  ") + command + " "), std::string::npos) << command;
  qxtest::ChildProcess nothing({QUORVEX_TOOL_PATH}, {});
  EXPECT_EQ(nothing.wait(30s), 2);
  EXPECT_EQ(nothing.err(), "quorvex: a command is needed (try quorvex --help)\n");
  EXPECT_TRUE(nothing.out().empty());
  qxtest::ChildProcess unknown({QUORVEX_TOOL_PATH, "--frobnicate"}, {});
  EXPECT_EQ(unknown.wait(30s), 2);
  EXPECT_NE(unknown.err().find("unknown option '--frobnicate'"), std::string::npos)
      << unknown.err();
#endif
}

}  // namespace
