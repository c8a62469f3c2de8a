// Logging: the escaped lines on standard error where no journal is reachable. (What a capture
// records is relied on by every test that checks a log line.)
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "media/log.h"

namespace orlenta {
namespace {

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
