#include "list_driver.h"

int main(int argc, char** argv) { return kelvoListMain(argc, argv); }
