// How the Linux programs read the machine's power, apart so that tests can point it at a tree
// of their own: platformPower() reads the kernel's power-supply class, /sys/class/power_supply.
#pragma once

#include "platform.h"

// The power as the supplies under `folder` report it, one folder a supply with the kernel's
// attribute files (type, online, scope, status, capacity): on mains where a Mains or USB supply
// is online; else on battery where a battery of the system's discharges, with its capacity
// (the fullest one's, where several do).
PlatformPower linuxPower(const char* folder);
