// What the tool asks of Linux: whether the kernel passes an update's every command through a
// node, decided by the process's own CAP_SYS_RAWIO; the machine's power from its supplies.
// Needs root, as CI runs it: it makes its own device nodes and gives its children each one
// capability alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "capture.h"
#include "linux_power.h"
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

// Each row a tree of supplies, as the kernel's power-supply class shows them: "SUPPLY/FILE=VALUE"
// for each attribute file, its value on one line.
TEST(PlatformLinux, PowerFromTheSuppliesOfTheMachine) {
    const std::string unplugged = "AC/type=Mains AC/online=0 ";
    const std::string bat0 = "BAT0/type=Battery BAT0/status=Discharging BAT0/capacity=";
    const std::string mouse = "hid/type=Battery hid/scope=Device hid/status=Discharging "
                              "hid/capacity=5 ";
    const struct {
        std::string supplies;
        int32_t percent;  // -1: not on battery
    } cases[] = {
        {"", -1},  // a desktop without a supply
        {"AC/type=Mains AC/online=1 " + bat0 + "40", -1},
        {unplugged + "usb/type=USB usb/online=1 " + bat0 + "40", -1},
        {unplugged + bat0 + "40", 40},
        {bat0 + "9", 9},  // no mains supply at all
        {"BAT0/type=Battery BAT0/status=Charging BAT0/capacity=40", -1},
        {"BAT0/type=Battery BAT0/status=Discharging", -1},
        {bat0 + "101", -1},
        {unplugged + mouse, -1},
        {mouse + bat0 + "70", 70},
        {bat0 + "5 BAT1/type=Battery BAT1/status=Discharging BAT1/capacity=60", 60},  // the fullest
    };
    for (const auto& c : cases) {
        char name[] = "/tmp/kelvo-power-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        std::istringstream attributes(c.supplies);
        for (std::string attribute; attributes >> attribute;) {
            const size_t slash = attribute.find('/'), equals = attribute.find('=');
            mkdir((name + ("/" + attribute.substr(0, slash))).c_str(), 0700);
            FILE* file = fopen((name + ("/" + attribute.substr(0, equals))).c_str(), "w");
            fprintf(file, "%s\n", attribute.substr(equals + 1).c_str());
            fclose(file);
        }
        const PlatformPower power = linuxPower(name);
        EXPECT_EQ(power.onBattery ? power.percent : -1, c.percent) << c.supplies;
        EXPECT_EQ(system((std::string("rm -r ") + name).c_str()), 0);
    }
    EXPECT_FALSE(linuxPower("/nonexistent/kelvo/power_supply").onBattery);
}

// A refused open's advice: root for a user who is not, else what the node is, since even root
// was refused.
TEST(PlatformLinux, AccessAdviceForRootSaysWhatRefusedIt) {
    ASSERT_EQ(geteuid(), 0u) << "run as root: the test makes a device node";
    char name[] = "/tmp/kelvo-access-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string sr = std::string(name) + "/sr0";
    ASSERT_EQ(mknod(sr.c_str(), S_IFBLK | 0600, makedev(11, 0)), 0);
    char advice[512];
    platformAccessAdvice(sr.c_str(), advice, sizeof advice);
    EXPECT_EQ(std::string(advice),
              "even root was refused " + sr + ", a block device node (major 11, minor 0): the "
              "kernel or a security module (SELinux, AppArmor) keeps it from every user; check "
              "the node (ls -l " + sr + ") and the kernel's log (dmesg)");
    int answer[2];
    ASSERT_EQ(pipe(answer), 0);
    if (fork() == 0) {  // another user
        if (setuid(65534) != 0) _exit(2);
        platformAccessAdvice(sr.c_str(), advice, sizeof advice);
        _exit(write(answer[1], advice, strlen(advice)) > 0 ? 0 : 1);
    }
    close(answer[1]);
    int status = -1;
    wait(&status);
    char said[512] = {};
    EXPECT_GT(read(answer[0], said, sizeof said - 1), 0);
    close(answer[0]);
    EXPECT_EQ(std::string(said), PLATFORM_ACCESS_ADVICE);
    unlink(sr.c_str());
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
