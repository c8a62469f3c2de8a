// Logging: what a capture records (from every thread, for its scope only), and the escaped lines
// on standard error where no journal is reachable.
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "media/log.h"

namespace orlenta {
namespace {

TEST(LogCapture, RecordsEveryThreadsLinesWithTheirOriginsForItsScope) {
    const Logger sink("example.orlenta.camera", "sink");
    const Logger extension("example.orlenta.camera.extension", "extension");
    {
        LogCapture capture;
        sink.info("connected");
        extension.error("start failed");
        const std::vector<LogRecord> records = capture.records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[1].subsystem, "example.orlenta.camera.extension");
        EXPECT_EQ(records[1].category, "extension");
        EXPECT_EQ(records[1].level, LogLevel::error);
        capture.clear();

        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 250; ++i)
                    sink.info(std::to_string(t) + ":" + std::to_string(i));
            });
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(capture.records().size(), 1000u);
    }
    LogCapture later;
    EXPECT_TRUE(later.records().empty());
}

// Without a capture, lines go to the journal when there is one, else to standard error. The
// stderr form is only observable where no journal is reachable.
TEST(Logger, WritesEscapedLinesToStderrWithoutJournal) {
    if (access("/run/systemd/journal/socket", F_OK) == 0)
        GTEST_SKIP() << "a journal is reachable here; lines go there, not to stderr";
    const Logger logger("example.orlenta.camera", "sink");
    ::testing::internal::CaptureStderr();
    logger.info("link opened");
    logger.error("peer said \x1b[2Jhi\nfake line\\");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "example.orlenta.camera [sink] info: link opened\n"
              "example.orlenta.camera [sink] error: peer said \\x1b[2Jhi\\nfake line\\\\\n");
}

} // namespace
} // namespace orlenta
