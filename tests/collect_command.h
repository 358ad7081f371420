#ifndef QUORVEX_TESTS_COLLECT_COMMAND_H_
#define QUORVEX_TESTS_COLLECT_COMMAND_H_

// Runs `quorvex collect` as a child process, for the tests of the command.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "delivery_support.h"
#include "support/TestSupport.h"

class CollectCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef QUORVEX_TOOL_PATH
    GTEST_SKIP() << "the quorvex tool is not built in this configuration";
#endif
  }

  std::unique_ptr<qxtest::ChildProcess> run(std::vector<std::string> arguments) {
#ifdef QUORVEX_TOOL_PATH
    arguments.insert(arguments.begin(), {QUORVEX_TOOL_PATH, "collect"});
#endif
    return std::make_unique<qxtest::ChildProcess>(arguments, std::vector<std::string>{});
  }

  // The port the tool announced on standard error.
  static uint16_t announcedPort(qxtest::ChildProcess& tool) {
    if (!tool.waitForError("listening on http://127.0.0.1:", std::chrono::seconds(10))) return 0;
    const size_t at = tool.err().find("127.0.0.1:") + 10;
    return static_cast<uint16_t>(std::stoi(tool.err().substr(at)));
  }

  qxtest::TempDirectory directory;
};

#endif  // QUORVEX_TESTS_COLLECT_COMMAND_H_
