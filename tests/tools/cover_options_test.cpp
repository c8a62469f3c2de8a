// orlenta-cover's command line: what it takes, for files and for the virtual camera, and what it
// refuses.
#include <gtest/gtest.h>

#include "tools/orlenta_cover/cover_options.h"

namespace orlenta {
namespace {

// The parsed options in one line: style, input -> output (kind), then what is set.
std::string describe(const CoverOptions& o) {
    std::string out = std::string(label(o.style)) + " " + o.input + " -> " + o.output +
                      (o.outputKind == MediaKind::image ? " (image)" : " (video)");
    if (!o.facesPath.empty())
        out += " faces=" + o.facesPath;
    if (!o.modelPath.empty())
        out += " model=" + o.modelPath;
    if (o.virtualCamera)
        out += " virtual-camera";
    if (o.loop)
        out += " loop";
    return out;
}

TEST(CoverCommandLine, AcceptsOptionsAnywhereInEitherForm) {
    const std::pair<std::vector<std::string>, std::string> accepted[] = {
        {{"in.webm", "--style=PIXELATE", "--faces", "f.jsonl", "out.MP4", "--model", "m.onnx"},
         "Pixelate in.webm -> out.MP4 (video) faces=f.jsonl model=m.onnx"},
        // After "--" a name that starts with a dash is a file; a later --style wins.
        {{"--style", "blur", "--style", "box", "--", "-in.png", "o.jpg"},
         "Box -in.png -> o.jpg (image)"},
        // The virtual camera takes any input name: there is no output to match.
        {{"--loop", "clip.webm", "--virtual-camera", "--style=box"},
         "Box clip.webm ->  (video) virtual-camera loop"},
        {{"--virtual-camera", "--model", "m.onnx", "--", "-still.png"},
         "Blur -still.png ->  (video) model=m.onnx virtual-camera"},
    };
    for (const auto& [arguments, expected] : accepted) {
        const ParsedCommandLine parsed = parseCoverCommandLine(arguments);
        ASSERT_TRUE(parsed.options) << parsed.error;
        EXPECT_EQ(describe(*parsed.options), expected);
    }
    // With -o every operand is an input, named in the folder by its own name where it can be.
    const ParsedCommandLine batch = parseCoverCommandLine({"a.mov", "-o", "out", "b.jpeg"});
    ASSERT_TRUE(batch.options) << batch.error;
    EXPECT_EQ(batch.options->inputs, (std::vector<std::string>{"a.mov", "b.jpeg"}));
    EXPECT_EQ(batch.options->outputFolder, "out");
    EXPECT_EQ(outputNameInFolder("dir/a.mov", MediaKind::video), "a.webm");
    EXPECT_EQ(outputNameInFolder("b.JPEG", MediaKind::image), "b.JPEG");
    EXPECT_EQ(outputNameInFolder("c.gif", MediaKind::image), "c.png");
    EXPECT_TRUE(parseCoverCommandLine({"in.webm", "--help"}).helpRequested);
    EXPECT_NE(coverUsage().find("--virtual-camera"), std::string::npos);
}

TEST(CoverCommandLine, RefusesWhatCannotRunWithOneLine) {
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{}, "missing INPUT"},
        {{"in.webm"}, "missing OUTPUT"},
        {{"a", "b.webm", "c"}, "too many arguments"},
        {{"--style", "sepia", "in.webm", "out.webm"}, "sepia"},
        {{"in.webm", "out.webm", "--style"}, "--style needs a value"},
        {{"--faces=", "in.webm", "out.webm"}, "--faces needs a value"},
        {{"--quality", "9", "in.webm", "out.webm"}, "--quality"},
        {{"in.webm", "out.avi"}, ".avi"},
        {{"in.webm", "out"}, "cannot tell what to write"},
        {{"", "out.webm"}, "INPUT is an empty name"},
        {{"--virtual-camera"}, "missing INPUT"},
        {{"--virtual-camera", "in.webm", "out.webm"}, "--virtual-camera takes only INPUT"},
        {{"--virtual-camera", "--faces", "f.jsonl", "in.webm"}, "--faces cannot be used"},
        {{"--loop", "in.webm", "out.webm"}, "--loop goes with --virtual-camera"},
        {{"--virtual-camera=yes", "in.webm"}, "takes no value"},
        {{"--virtual-camera", "--loop=2", "in.webm"}, "takes no value"},
        {{"--virtual-camera", ""}, "INPUT is an empty name"},
        {{"a/clip.webm", "b/clip.mp4", "-o", "out"}, "same file in the output folder"},
        {{"--faces", "f.jsonl", "a.webm", "-o", "out"}, "cannot be used with -o"},
        {{"-o", "out"}, "missing INPUT"},
    };
    for (const auto& [arguments, reason] : refused) {
        const ParsedCommandLine parsed = parseCoverCommandLine(arguments);
        EXPECT_FALSE(parsed.options) << "accepted: " << ::testing::PrintToString(arguments);
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << parsed.error;
        EXPECT_NE(parsed.error.find(reason), std::string::npos) << parsed.error;
    }
}

} // namespace
} // namespace orlenta
