// Linux's own drives, from the kernel's sysfs and device nodes.
#include "drive_sources.h"

void listSystemDrives(Listing* listing) { listLinuxDrives(listing, "/sys", "/dev"); }
