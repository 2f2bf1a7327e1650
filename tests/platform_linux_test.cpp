// What the tool asks of Linux: whether the kernel passes an update's every command through a
// node, decided by the process's own CAP_SYS_RAWIO. Needs root, as CI runs it: it makes its
// own device nodes and gives its children each one capability alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "capture.h"
#include "platform.h"

namespace {

// platformPassThroughCarriesUpdate(node) in a child whose capabilities are `capability`
// alone (-1: none); its answer as the exit status.
bool carriesUpdateWith(int capability, const std::string& node, FILE* errors) {
    fflush(errors);
    const pid_t child = fork();
    if (child == 0) {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
        if (capability >= 0) {
            sets[CAP_TO_INDEX(capability)].effective = CAP_TO_MASK(capability);
            sets[CAP_TO_INDEX(capability)].permitted = CAP_TO_MASK(capability);
        }
        if (syscall(SYS_capset, &header, sets) != 0) _exit(2);
        char lack[256] = "";
        const bool carries = platformPassThroughCarriesUpdate(node.c_str(), lack, sizeof lack);
        fputs(lack, errors);
        fflush(errors);
        _exit(carries ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 2) << "capset failed";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PlatformLinux, BlockNodeCarriesAnUpdateOnlyWithRawIo) {
    ASSERT_EQ(geteuid(), 0u) << "run as root: the test makes device nodes";
    char name[] = "/tmp/kelvo-platform-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string sr = std::string(name) + "/sr0", sg = std::string(name) + "/sg0";
    ASSERT_EQ(mknod(sr.c_str(), S_IFBLK | 0600, makedev(11, 0)), 0);
    ASSERT_EQ(mknod(sg.c_str(), S_IFCHR | 0600, makedev(21, 0)), 0);
    const std::string refused = "update not started: through " + sr +
                                " the kernel passes the drive's closing command only for root or "
                                "a process with CAP_SYS_RAWIO\n";
    struct Case {
        const char* what;
        int capability;
        const std::string& node;
        bool carries;
        std::string errors;
    } cases[] = {
        {"sr node, CAP_SYS_RAWIO alone", CAP_SYS_RAWIO, sr, true, ""},
        {"sr node, CAP_SYS_ADMIN alone", CAP_SYS_ADMIN, sr, false, refused},
        {"sg node, no capability", -1, sg, true, ""},
    };
    for (const Case& c : cases) {
        CapturedStream errors;
        EXPECT_EQ(carriesUpdateWith(c.capability, c.node, errors.stream()), c.carries) << c.what;
        EXPECT_EQ(errors.text(), c.errors) << c.what;
    }
    unlink(sr.c_str());
    unlink(sg.c_str());
    rmdir(name);
}

// The percentage is drawn on standard output: only standard output on a terminal counts.
TEST(PlatformLinux, OutputIsATerminalByStandardOutputAlone) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(side, 0);
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    const int saved[2] = {dup(STDOUT_FILENO), dup(STDERR_FILENO)};
    const struct {
        int output, errors;
        bool onTerminal;
    } cases[] = {{side, fileno(file), true}, {fileno(file), side, false}};
    bool answers[2];
    for (size_t i = 0; i < 2; ++i) {
        dup2(cases[i].output, STDOUT_FILENO);
        dup2(cases[i].errors, STDERR_FILENO);
        answers[i] = platformOutputIsTerminal();
    }
    dup2(saved[0], STDOUT_FILENO);
    dup2(saved[1], STDERR_FILENO);
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(answers[i], cases[i].onTerminal) << i;
    close(saved[0]);
    close(saved[1]);
    fclose(file);
    close(side);
    close(terminal);
}

}  // namespace
