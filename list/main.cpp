#include "list_driver.h"
#include "platform.h"

int main(int argc, char** argv) {
    const int status = kelvoListMain(argc, argv);
    platformHoldOwnConsole(stderr);
    return status;
}
