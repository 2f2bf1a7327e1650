#include "driver.h"

int main(int argc, char** argv) { return kelvoMain(argc, argv); }
