// orlenta-cover's --virtual-camera command line: what it takes and what it refuses.
#include <gtest/gtest.h>

#include "tools/orlenta_cover/cover_options.h"

namespace orlenta {
namespace {

TEST(VirtualCameraCommandLine, TakesOneInputWithLoopStyleAndModel) {
    ParsedCommandLine parsed =
        parseCoverCommandLine({"--loop", "clip.webm", "--virtual-camera", "--style=box"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_TRUE(parsed.options->virtualCamera);
    EXPECT_TRUE(parsed.options->loop);
    EXPECT_EQ(parsed.options->input, "clip.webm");
    EXPECT_TRUE(parsed.options->output.empty());
    EXPECT_EQ(parsed.options->style, CoverStyle::box);

    // Any input name will do: there is no output whose extension must match.
    parsed = parseCoverCommandLine({"--virtual-camera", "--model", "m.onnx", "--", "-still.png"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_FALSE(parsed.options->loop);
    EXPECT_EQ(parsed.options->input, "-still.png");
    EXPECT_EQ(parsed.options->modelPath, "m.onnx");

    // Without the option, files are covered as before.
    parsed = parseCoverCommandLine({"in.webm", "out.webm"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_FALSE(parsed.options->virtualCamera);
}

TEST(VirtualCameraCommandLine, RefusesWhatDoesNotGoTogether) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--virtual-camera"}, "missing INPUT"},
        {{"--virtual-camera", "in.webm", "out.webm"}, "--virtual-camera takes only INPUT"},
        {{"--virtual-camera", "--faces", "f.jsonl", "in.webm"}, "--faces cannot be used"},
        {{"--loop", "in.webm", "out.webm"}, "--loop goes with --virtual-camera"},
        {{"--virtual-camera=yes", "in.webm"}, "takes no value"},
        {{"--virtual-camera", "--loop=2", "in.webm"}, "takes no value"},
        {{"--virtual-camera", ""}, "INPUT is an empty name"},
    };
    for (const auto& [arguments, reason] : bad) {
        const ParsedCommandLine parsed = parseCoverCommandLine(arguments);
        EXPECT_FALSE(parsed.options) << "accepted: " << ::testing::PrintToString(arguments);
        EXPECT_NE(parsed.error.find(reason), std::string::npos) << parsed.error;
    }
    EXPECT_NE(coverUsage().find("--virtual-camera"), std::string::npos);
}

} // namespace
} // namespace orlenta
