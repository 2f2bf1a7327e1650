// kelvo-list's command line: the whole run, from the arguments to the exit status.
#pragma once

int kelvoListMain(int argc, char** argv);
