// The POSIX copy by each of the two ways it names a finished copy: an
// unnamed file linked into place, and a working name of MOLV's own linked
// into place where the file system has no unnamed files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/copy.h"

namespace {

class posix_copy : public testing::TestWithParam<copy_naming> {
protected:
    std::string folder;
    std::string reason;

    void SetUp() override
    {
        char pattern[] = "/tmp/molv-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
        folder = pattern;
    }

    void TearDown() override
    {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }

    std::string path(const std::string& name) const { return folder + "/" + name; }

    copy_result copy(const std::string& from, const std::string& to)
    {
        char text[256] = "";
        copy_result result =
            copy_new_named(path(from).c_str(), path(to).c_str(), GetParam(), text, sizeof text);
        reason = text;
        return result;
    }

    // Every name in the folder, hidden ones, folders and links included.
    std::vector<std::string> names() const
    {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    bool write(const std::string& name, const std::string& content, mode_t mode = 0644) const
    {
        int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            return false;
        }
        bool written = ::write(fd, content.data(), content.size()) ==
                       static_cast<ssize_t>(content.size());
        return fchmod(fd, mode) == 0 && close(fd) == 0 && written;
    }

    std::string read(const std::string& name) const
    {
        std::string content;
        int fd = open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[65536];
        ssize_t got;
        while (fd >= 0 && (got = ::read(fd, buffer, sizeof buffer)) > 0) {
            content.append(buffer, static_cast<std::size_t>(got));
        }
        if (fd >= 0) {
            close(fd);
        }
        return content;
    }

    mode_t mode_of(const std::string& name) const
    {
        struct stat info {};
        return lstat(path(name).c_str(), &info) == 0 ? info.st_mode & 07777 : 07777;
    }
};

// A log with every byte value, NUL included, of `size` bytes.
std::string binary_log(std::size_t size)
{
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        content[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    }
    return content;
}

} // namespace

TEST_P(posix_copy, CopyIsWholeAndTakesTheLogsPermissionBitsWhateverTheUmask)
{
    const mode_t modes[] = {0600, 0640, 0644, 0400, 0755, 0000};
    const mode_t umasks[] = {022, 077, 0};
    int serial = 0;
    for (mode_t log_mode : modes) {
        for (mode_t mask : umasks) {
            const std::string backup = "backup-" + std::to_string(++serial) + ".log";
            const std::string content = binary_log(1000 + static_cast<std::size_t>(serial));
            ASSERT_TRUE(write("server.log", content, log_mode));
            const mode_t before = umask(mask);
            const copy_result result = copy("server.log", backup);
            umask(before);
            ASSERT_EQ(result, copy_result::copied) << reason;
            EXPECT_EQ(read(backup), content) << backup;
            EXPECT_EQ(mode_of(backup), log_mode) << std::oct << "log " << log_mode << ", umask "
                                                 << mask;
        }
    }
    // Nothing but the log and the backups: no working copy is left.
    std::vector<std::string> left = names();
    left.erase(std::remove_if(left.begin(), left.end(),
                              [](const std::string& name) { return name.rfind("backup-", 0) == 0; }),
               left.end());
    EXPECT_EQ(left, std::vector<std::string>{"server.log"});
}

TEST_P(posix_copy, LargeAndEmptyLogsAreCopiedWhole)
{
    // Larger than one request to the kernel, and not a multiple of it.
    const std::string large = binary_log(9 * 1024 * 1024 + 3);
    ASSERT_TRUE(write("server.log", large));
    ASSERT_EQ(copy("server.log", "large.log"), copy_result::copied) << reason;
    EXPECT_TRUE(read("large.log") == large);

    ASSERT_TRUE(write("empty.log", ""));
    ASSERT_EQ(copy("empty.log", "empty-copy.log"), copy_result::copied) << reason;
    EXPECT_EQ(read("empty-copy.log"), "");
    EXPECT_EQ(names(), (std::vector<std::string>{"empty-copy.log", "empty.log", "large.log",
                                                 "server.log"}));
}

TEST_P(posix_copy, TakenNameIsNeverTouchedWhateverTakesIt)
{
    ASSERT_TRUE(write("server.log", "the log\n"));
    ASSERT_TRUE(write("file.log", "an operator's file\n", 0444));
    ASSERT_EQ(mkdir(path("folder.log").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", path("dangling.log").c_str()), 0);
    ASSERT_EQ(symlink("server.log", path("link.log").c_str()), 0);
    const std::vector<std::string> before = names();

    for (const char* taken : {"file.log", "folder.log", "dangling.log", "link.log"}) {
        EXPECT_EQ(copy("server.log", taken), copy_result::exists) << taken;
    }
    EXPECT_EQ(names(), before);
    EXPECT_EQ(read("file.log"), "an operator's file\n");
    EXPECT_EQ(mode_of("file.log"), 0444u);
    char target[64] = "";
    EXPECT_EQ(readlink(path("dangling.log").c_str(), target, sizeof target - 1), 7);
    EXPECT_STREQ(target, "nowhere");
}

TEST_P(posix_copy, MissingLogIsToldApartFromOneThatCannotBeReadAndLeavesNothing)
{
    EXPECT_EQ(copy("server.log", "backup.log"), copy_result::source_missing);
    EXPECT_EQ(reason, std::strerror(ENOENT));
    ASSERT_EQ(mkdir(path("server.log").c_str(), 0755), 0);
    EXPECT_EQ(copy("server.log", "backup.log"), copy_result::failed);
    EXPECT_EQ(reason, std::strerror(EISDIR));
    EXPECT_EQ(names(), std::vector<std::string>{"server.log"});
}

TEST_P(posix_copy, CopyIntoAnotherFolderIsMadeThere)
{
    ASSERT_TRUE(write("server.log", "the log\n", 0640));
    ASSERT_EQ(mkdir(path("kept").c_str(), 0755), 0);
    ASSERT_EQ(copy("server.log", "kept/backup.log"), copy_result::copied) << reason;
    EXPECT_EQ(read("kept/backup.log"), "the log\n");
    EXPECT_EQ(mode_of("kept/backup.log"), 0640u);
    EXPECT_EQ(copy("server.log", "missing/backup.log"), copy_result::failed);
    EXPECT_EQ(names(), (std::vector<std::string>{"kept", "server.log"}));
}

TEST_P(posix_copy, CopyBeyondTheFileSizeLimitFailsAndLeavesNothing)
{
    // The limit stands for a full disk: one byte more than fits fails part
    // way through the copy, and exactly as much as fits is copied.
    const std::size_t limit = 64 * 1024;
    ASSERT_TRUE(write("over.log", std::string(limit + 1, 'O')));
    ASSERT_TRUE(write("fits.log", std::string(limit, 'F')));
    rlimit before {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = limit;
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const copy_result over = copy("over.log", "over-copy.log");
    const std::string over_reason = reason;
    const copy_result fits = copy("fits.log", "fits-copy.log");
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(over, copy_result::failed);
    EXPECT_EQ(over_reason, std::strerror(EFBIG));
    EXPECT_EQ(fits, copy_result::copied) << reason;
    EXPECT_EQ(read("fits-copy.log"), std::string(limit, 'F'));
    EXPECT_EQ(names(), (std::vector<std::string>{"fits-copy.log", "fits.log", "over.log"}));
}

INSTANTIATE_TEST_SUITE_P(naming, posix_copy,
                         testing::Values(copy_naming::unnamed_file, copy_naming::working_name),
                         [](const testing::TestParamInfo<copy_naming>& naming_info) {
                             return naming_info.param == copy_naming::unnamed_file ? "unnamed_file"
                                                                            : "working_name";
                         });
