// Appends to the log from several threads while the main thread forks.
#include "engine/record_log.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "support/temp_file.h"

namespace velm {
namespace {

// Each child appends a line of its own at once: one that kept a copy of a file locked by an append
// in flight at the fork would wait for itself until SIGALRM ends it (and hold up the parent).
TEST(AppendLogLine, ChildrenForkedDuringAppendsHoldNoLock) {
  const testing::TempFile log("");
  const std::string line = std::string(1 << 16, 'x') + "\n";
  std::atomic<bool> stop{false};
  std::atomic<int> appended{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&] {
      while (!stop && appended < 2000) appended += append_log_line(log.path(), line) ? 1 : 0;
    });
  }
  int children_done = 0;
  for (int i = 0; i < 10; ++i) {
    ::usleep(2000);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(10);
      // Left by the raw system call: a race detector's exit hooks would count the parent's
      // writer threads, which do not exist here, as threads this child leaked.
      ::syscall(SYS_exit_group, append_log_line(log.path(), "child\n") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    children_done += WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  stop = true;
  for (std::thread& w : writers) w.join();
  EXPECT_EQ(children_done, 10);
  std::ifstream in(log.path());
  int children = 0, parents = 0;
  for (std::string text; std::getline(in, text);) {
    children += text == "child";
    parents += text == line.substr(0, line.size() - 1);
  }
  EXPECT_EQ(children, 10);
  EXPECT_EQ(parents, appended.load());
}

}  // namespace
}  // namespace velm
