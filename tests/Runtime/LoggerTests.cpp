#include "Runtime/Linux/JournalLogSink.hpp"
#include "Runtime/Logger.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace veltrano;
using veltrano::testing::LogCapture;

TEST(Logger, RecordsCarrySubsystemCategoryLevelAndTheExactText) {
  {
    LogCapture earlier;
    Logger("A").info("before");
  }
  LogCapture capture;  // sees nothing of a capture that has ended
  Logger log("PendingUploads");
  log.error("Pending uploads store was unreadable; kept a copy at /tmp/x");
  log.info("plain");
  log.debug("chatty");
  auto records = capture->records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].subsystem, "com.brackwood.VeltranoMac");
  EXPECT_EQ(records[0].category, "PendingUploads");
  EXPECT_EQ(records[0].level, LogLevel::error);
  EXPECT_EQ(records[0].message, "Pending uploads store was unreadable; kept a copy at /tmp/x");
  EXPECT_EQ(records[1].level, LogLevel::info);
  EXPECT_EQ(records[2].level, LogLevel::debug);
}

TEST(Logger, SystemSinkMirrorsEachRecordToStderrInOneLine) {
  JournalLogSink sink;
  ::testing::internal::CaptureStderr();
  sink.write(LogRecord{LogLevel::error, std::string(kLogSubsystem), "AnswerVideoUpload", "100% done: %s %n"});
  sink.write(LogRecord{LogLevel::info, std::string(kLogSubsystem), "AnswerRecording", "second"});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "error [AnswerVideoUpload] 100% done: %s %n\ninfo [AnswerRecording] second\n");
}

TEST(Logger, ConcurrentWritersLoseNoRecord) {
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      Logger log("T" + std::to_string(t));
      for (int i = 0; i < 250; ++i) log.info(std::to_string(i));
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture->records().size(), 1000u);
}
