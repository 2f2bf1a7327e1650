#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "fake_kernel32.h"
#include "win32_error.h"

namespace {

const char* const noText = "(no more specific error message available)";

TEST(SayLastError, LabelCodeInHexAndDecimalAndTheSystemsText) {
    struct Case {
        DWORD code;
        bool formatMessageFails;
        std::string trace;
    } cases[] = {
        {2, false,
         "// sptxOpen.CreateFile: x2 (2) The system cannot find the file specified.\r\n"},
        {31, false,
         "// sptxOpen.CreateFile: x1F (31) A device attached to the system is not "
         "functioning.\r\n"},
        {0, false, "// sptxOpen.CreateFile: x0 (0) The operation completed successfully.\r\n"},
        {0xFFFFFFFF, false, std::string("// sptxOpen.CreateFile: xFFFFFFFF (-1) ") + noText + "\n"},
        {2, true, std::string("// sptxOpen.CreateFile: x2 (2) ") + noText + "\n"},
        // Texts of the system's that carry inserts, or end without a line feed.
        {193, false, "// sptxOpen.CreateFile: xC1 (193) %1 is not a valid Win32 application.\r\n"},
        {1117, false, "// sptxOpen.CreateFile: x45D (1117) No line end\n"},
    };
    for (const Case& c : cases) {
        FreshFakeKernel32 fake;
        fake->extraTexts[193] = "%1 is not a valid Win32 application.\r\n";
        fake->extraTexts[1117] = "No line end";
        fake->formatMessageFails = c.formatMessageFails;
        CapturedStream trace;
        SetLastError(c.code);
        sayLastError(trace.stream(), "// sptxOpen.CreateFile");
        EXPECT_EQ(trace.text(), c.trace) << c.code;
        // Inserts stay as they are: there is no argument list to expand them from.
        EXPECT_EQ(fake->formatMessageFlags,
                  std::vector<DWORD>{FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS})
            << c.code;
    }
}

TEST(SayLastError, NothingWithoutStreamOrLabel) {
    FreshFakeKernel32 fake;
    CapturedStream trace;
    SetLastError(2);
    sayLastError(nullptr, "// sptxOpen.CreateFile");
    sayLastError(trace.stream(), nullptr);
    EXPECT_EQ(trace.text(), "");
    EXPECT_TRUE(fake->formatMessageFlags.empty());
}

}  // namespace
