// What a screenshot does to the file system when the write cannot be done,
// and to what already has the name when it can. Run as root (as CI does) a
// wrong answer would be real damage: the full device is a scratch node made
// here with mknod, never the system's own /dev/full.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "scratch.h"
#include "capture/capture.h"
#include "frame/frame.h"

namespace {

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const char *text) { std::ofstream(path, std::ios::binary) << text; }

std::set<std::string> names_in(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

struct ScreenshotFiles : testing::Test {
    Engine e;
    std::string dir;

    void SetUp() override {
        memset(&e, 0, sizeof e);
        ASSERT_EQ(engine_create_offscreen(&e, 48, 32), 0) << galaxy_error_get();
        engine_set_mode(&e, 1); // the galaxy: a picture that does not compress to nothing
        engine_frame(&e);
        dir = scratch_path(testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directory(dir);
    }
    void TearDown() override {
        engine_destroy(&e);
        free(e.readback_buf);
    }
};

// A file size limit fails the writes the way a full disk does.
int screenshot_with_size_limit(Engine *e, const std::string &path, rlim_t limit) {
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit low = {limit, old.rlim_max};
    void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &low);
    int rc = engine_screenshot(e, path.c_str());
    int err = errno;
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, handler);
    errno = err;
    return rc;
}

TEST_F(ScreenshotFiles, FailedWritesAreReportedAndLeaveNothingBehind) {
    // The full device: a scratch node as root, the system's own otherwise
    // (which a user cannot replace).
    std::string full = "/dev/full";
    if (geteuid() == 0) {
        full = dir + "/full";
        ASSERT_EQ(mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)), 0) << strerror(errno);
    }
    write_file(dir + "/old.png", "old picture");
    mkdir((dir + "/ro").c_str(), 0555);
    const struct {
        const char *name;
        std::string path;
        int err;
        rlim_t size_limit; // 0: none
    } cases[] = {
        {"a full device", full, ENOSPC, 0},
        {"a missing directory", dir + "/missing/x.png", ENOENT, 0},
        {"a read-only directory", dir + "/ro/x.png", EACCES, 0},
        {"an existing file when the disk fills", dir + "/old.png", EFBIG, 64},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.err == EACCES && geteuid() == 0) {
            printf("  (skipped \"%s\": root writes into a read-only directory all the same)\n", c.name);
            continue;
        }
        const std::set<std::string> before = names_in(dir);
        const int rc = c.size_limit ? screenshot_with_size_limit(&e, c.path, c.size_limit)
                                    : engine_screenshot(&e, c.path.c_str());
        const int err = errno;
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(err, c.err) << "errno keeps the system's reason for the host";
        EXPECT_STREQ(galaxy_error_get(), "screenshot: stbi_write_png failed");
        EXPECT_EQ(names_in(dir), before) << "a temporary or partial file was left behind";
    }
    EXPECT_EQ(read_file(dir + "/old.png"), "old picture");
    struct stat st;
    ASSERT_EQ(lstat(full.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device was replaced";
}

TEST_F(ScreenshotFiles, ExistingFilesAndLinksAreReplacedWhole) {
    ASSERT_EQ(engine_screenshot(&e, (dir + "/ref.png").c_str()), 0) << galaxy_error_get();
    const std::string png = read_file(dir + "/ref.png");
    ASSERT_GT(png.size(), 64u); // larger than the size limit above
    write_file(dir + "/old.png", "old picture");
    chmod((dir + "/old.png").c_str(), 0640);
    symlink("old.png", (dir + "/link.png").c_str());

    // Through the link first: its target is replaced, the link stays.
    for (const char *name : {"link.png", "old.png"}) {
        SCOPED_TRACE(name);
        write_file(dir + "/old.png", "old picture");
        ASSERT_EQ(engine_screenshot(&e, (dir + "/" + name).c_str()), 0) << galaxy_error_get();
        EXPECT_EQ(read_file(dir + "/old.png"), png);
        struct stat st;
        ASSERT_EQ(lstat((dir + "/link.png").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(stat((dir + "/old.png").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replaced file keeps its permissions";
        EXPECT_EQ(names_in(dir), (std::set<std::string>{"link.png", "old.png", "ref.png"}));
    }
}

} // namespace
