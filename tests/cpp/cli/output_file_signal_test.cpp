// A cleanup signal that the kernel hands to another thread while the main
// thread holds the cleanup signals blocked (as it does between creating a
// temporary file and registering it) waits for the main thread: the
// process ends only once the main thread lets it, and the temporary file
// is removed then.
#include "cli/output_file.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace ovk::cli {
namespace {

namespace fs = std::filesystem;

// What the child does: a helper thread that never blocks the signal, an
// output file being written, the signal sent to the process while the
// main thread blocks it, and a mark left afterwards that only a waiting
// signal lets the child write.
[[noreturn]] void signalled_while_blocked(const fs::path& folder, int signal_number) {
  ::signal(signal_number, SIG_DFL);  // not left ignored by whoever started the tests
  install_signal_cleanup();
  std::thread([] {
    for (;;) ::pause();
  }).detach();
  Result<OutputFile> out = OutputFile::open((folder / "out.bin").string(), OutputPolicy{});
  if (!out.ok()) std::_Exit(3);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::kill(::getpid(), signal_number);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the helper has it by now
  std::FILE* mark = std::fopen((folder / "mark").c_str(), "w");
  if (mark != nullptr) std::fclose(mark);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  std::_Exit(4);  // the signal never came back to the main thread
}

class SignalOnAnotherThread : public testing::TestWithParam<int> {};

TEST_P(SignalOnAnotherThread, WaitsForTheMainThreadAndRemovesTheTemporaryFile) {
  std::string name = (fs::temp_directory_path() / "ovk-signal-XXXXXX").string();
  ASSERT_NE(::mkdtemp(name.data()), nullptr);
  const fs::path folder = name;
  EXPECT_EXIT(signalled_while_blocked(folder, GetParam()), testing::KilledBySignal(GetParam()), "");
  EXPECT_TRUE(fs::exists(folder / "mark")) << "the process ended while the main thread blocked the signal";
  EXPECT_FALSE(fs::exists(folder / "out.bin"));
  std::size_t left = 0;
  for (const auto& entry : fs::directory_iterator(folder)) left += entry.path().filename() != "mark";
  EXPECT_EQ(left, 0U) << "a temporary file was left behind";
  fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalOnAnotherThread, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT    ? "SIGINT"
                                              : info.param == SIGTERM ? "SIGTERM"
                                                                      : "SIGHUP");
                         });

}  // namespace
}  // namespace ovk::cli
