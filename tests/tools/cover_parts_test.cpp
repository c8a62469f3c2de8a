// The parts of orlenta-cover that decide things on their own: the face log line and the temporary
// output file.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/orlenta_cover/cover_report.h"
#include "tools/orlenta_cover/temporary_output.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

TEST(CoverFaceLog, WritesMarkSpaceRectanglesAsJson) {
    // Output pixels are y-up: a face at the bottom-left corner is at the bottom of mark space.
    const std::vector<TrackedFace> faces = {{7, {0, 0, 640, 360}, false},
                                            {9, {320, 540, 128, 72}, true}};
    EXPECT_EQ(faceLogLine(3, 0.1, faces),
              "{\"frame\": 3, \"time\": 0.1, \"faces\": ["
              "{\"id\": 7, \"rect\": [0, 0.5, 0.5, 0.5], \"shown\": false}, "
              "{\"id\": 9, \"rect\": [0.25, 0.15, 0.1, 0.1], \"shown\": true}]}");
    EXPECT_EQ(faceLogLine(0, 0, {}), "{\"frame\": 0, \"time\": 0, \"faces\": []}");
    // JSON has no NaN.
    EXPECT_EQ(faceLogLine(1, std::nan(""), {}), "{\"frame\": 1, \"time\": null, \"faces\": []}");
}

class TemporaryOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "orlenta-cover-parts-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    size_t entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }
    static std::string contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir_;
};

TEST_F(TemporaryOutputTest, ReplacesTheTargetOnlyOnCommit) {
    const fs::path target = dir_ / "out.webm";
    std::ofstream(target) << "old";
    ::chmod(target.c_str(), 0640);

    std::string error;
    auto output = TemporaryOutput::create(target, &error);
    ASSERT_TRUE(output) << error;
    EXPECT_EQ(output->path().parent_path(), dir_);
    EXPECT_EQ(output->path().extension(), ".webm");
    ASSERT_EQ(::write(output->fd(), "new", 3), 3);
    EXPECT_EQ(contents(target), "old");
    ASSERT_TRUE(output->commit(&error)) << error;
    EXPECT_EQ(contents(target), "new");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u); // the replaced file's mode carries over
    output.reset();
    EXPECT_EQ(entries(), 1u);

    // Not committed: the target stays as it was and nothing is left behind.
    output = TemporaryOutput::create(target, &error);
    ASSERT_TRUE(output) << error;
    ASSERT_EQ(::write(output->fd(), "half", 4), 4);
    output.reset();
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(TemporaryOutputTest, RefusesDirectoriesAndMissingFolders) {
    std::string error;
    EXPECT_FALSE(TemporaryOutput::create(dir_, &error));
    EXPECT_NE(error.find("directory"), std::string::npos) << error;
    EXPECT_FALSE(TemporaryOutput::create(dir_ / "missing" / "out.png", &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_EQ(entries(), 0u);
}

} // namespace
} // namespace orlenta
