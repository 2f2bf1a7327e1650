// The POSIX stand-in answers the backends as Windows would, wherever they can tell.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "kernel32.h"

namespace {

TEST(PosixKernel32, FilesOpenAndCloseWithWindowsErrorCodes) {
    EXPECT_EQ(CreateFileA("/nonexistent/kelvo", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE file = CreateFileA("/dev/null", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SCSI_PASS_THROUGH request = {};
    request.Length = sizeof request;
    request.CdbLength = 6;
    request.Cdb[0] = 0x00;  // TEST UNIT READY
    request.TimeOutValue = 1;
    DWORD returned = 1;
    EXPECT_FALSE(DeviceIoControl(file, IOCTL_SCSI_PASS_THROUGH, &request, sizeof request,
                                 &request, sizeof request, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);  // not a SCSI device
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PosixKernel32, SystemTextsForKnownCodesOnly) {
    char text[64] = {};
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr),
              43u);
    EXPECT_STREQ(text, "The system cannot find the file specified.\n");  // Linux's line end
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEAD, 0, text, sizeof text,
                             nullptr),
              0u);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, text,
                             10, nullptr),
              0u);
}

TEST(PosixKernel32, EventIsSignalledFromAnotherThreadAndResetsByItself) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
    std::thread library([event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    library.join();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // auto-reset
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(event));
}

// A library that completes late signals an event its owner has closed already: that must
// fail as on Windows, and never wake the owner's next event.
TEST(PosixKernel32, ClosedEventCannotBeSignalled) {
    HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE next = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(SetEvent(closed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(next, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    CloseHandle(next);
}

TEST(PosixKernel32, MissingLibrary) {
    EXPECT_EQ(LoadLibraryA("NO-SUCH-LIBRARY.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace
