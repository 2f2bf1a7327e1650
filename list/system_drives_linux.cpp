// Linux's own drives, from the kernel's sysfs and device nodes.
#include "drive_sources.h"

void listSystemDrives(Listing* listing) { listLinuxDrives(listing, "/sys", "/dev"); }

const char* const NO_DRIVE_ADVICE =
    "run kelvo-list as root or as a member of the drive's group (cdrom), load the sg module "
    "(modprobe sg), and compare with lsscsi -g";
