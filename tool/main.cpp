#include "driver.h"
#include "platform.h"

int main(int argc, char** argv) {
    platformKeepStreamsInOrder();
    const int status = kelvoMain(argc, argv);
    platformHoldOwnConsole(stderr);
    return status;
}
