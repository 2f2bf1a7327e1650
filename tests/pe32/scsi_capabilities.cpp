// Asks the system what the adapter behind a device takes at once, as kelvo.exe's pass-through
// does when it opens a drive (IOCTL_SCSI_GET_CAPABILITIES), and prints the answer: the tests
// compare it with what the adapter really takes.
//
//   scsi_capabilities <device path, such as \\.\X:>
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: scsi_capabilities <device path>\n");
        return 2;
    }
    const HANDLE device = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        printf("CreateFile: error %lu\n", GetLastError());
        return 1;
    }
    IO_SCSI_CAPABILITIES capabilities = {};
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_SCSI_GET_CAPABILITIES, &capabilities,
                         sizeof capabilities, &capabilities, sizeof capabilities, &returned,
                         nullptr)) {
        printf("DeviceIoControl: error %lu\n", GetLastError());
        return 1;
    }
    printf("MaximumTransferLength %lu, MaximumPhysicalPages %lu, AlignmentMask 0x%lX\n",
           capabilities.MaximumTransferLength, capabilities.MaximumPhysicalPages,
           capabilities.AlignmentMask);
    CloseHandle(device);
    return 0;
}
