// Private temporary directories: made for this process alone under the
// base asked for, emptied on request, and gone with whatever is in them.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "private_directory.h"

namespace {

namespace fs = std::filesystem;
using tqf::io::PrivateDirectory;

class PrivateDirectories : public ::testing::Test {
protected:
    void SetUp() override { base = std::make_unique<PrivateDirectory>("tqf-test-base-"); }
    // A file, and a directory holding a file.
    static void fill(const PrivateDirectory &directory) {
        std::ofstream(directory.file("a.jpg")) << "a";
        fs::create_directory(directory.file("sub"));
        std::ofstream(directory.file("sub/b.jpg")) << "b";
    }
    std::unique_ptr<PrivateDirectory> base;
};

TEST_F(PrivateDirectories, AreTheProcesssOwnUnderTheBase) {
    PrivateDirectory one("tqf-associated-", base->path()), two("tqf-associated-", base->path());
    EXPECT_NE(one.path(), two.path());
    EXPECT_EQ(fs::path(one.path()).parent_path(), fs::path(base->path()));
    EXPECT_EQ(fs::path(one.path()).filename().string().rfind("tqf-associated-", 0), 0u);
    struct stat info;
    ASSERT_EQ(stat(one.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(one.file("label.jpg"), one.path() + "/label.jpg");
}

TEST_F(PrivateDirectories, GoWithEverythingInThem) {
    std::string path;
    {
        PrivateDirectory directory("x-", base->path());
        path = directory.path();
        fill(directory);
    }
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(PrivateDirectories, ClearingKeepsTheDirectoryAlone) {
    PrivateDirectory directory("x-", base->path());
    fill(directory);
    directory.clear();
    EXPECT_TRUE(fs::is_directory(directory.path()));
    EXPECT_TRUE(fs::is_empty(directory.path()));
}

TEST_F(PrivateDirectories, ThatCannotBeMadeAreRefusedNamingThePlace) {
    const std::string missing = base->file("missing");
    try {
        PrivateDirectory directory("x-", missing);
        FAIL() << "made " << directory.path();
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find(missing + "/x-XXXXXX"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    }
}

TEST(TemporaryBase, IsTmpdirOrElseTmp) {
    const char *saved = getenv("TMPDIR");
    const std::string kept = saved ? saved : "";
    setenv("TMPDIR", "/somewhere", 1);
    EXPECT_EQ(PrivateDirectory::temporary_base(), "/somewhere");
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(PrivateDirectory::temporary_base(), "/tmp");
    unsetenv("TMPDIR");
    EXPECT_EQ(PrivateDirectory::temporary_base(), "/tmp");
    if (saved)
        setenv("TMPDIR", kept.c_str(), 1);
}

}  // namespace
