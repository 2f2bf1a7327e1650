// Runs code that talks to the process's standard streams (kelvoMain above all) inside the
// test process, with standard input taken from a text and standard output and standard
// error collected, at the level of the file descriptors so that every writer is caught.
#pragma once

#include <string>
#include <vector>

// While it lives, file descriptors 0, 1 and 2 are temporary files: the first holds `input`,
// the other two collect what is written. The streams are flushed on the way in and out.
class RedirectedStdio {
public:
    explicit RedirectedStdio(const std::string& input);
    ~RedirectedStdio();
    RedirectedStdio(const RedirectedStdio&) = delete;
    RedirectedStdio& operator=(const RedirectedStdio&) = delete;

    // What was written so far.
    std::string output() const;
    std::string errors() const;

private:
    int saved_[3];
    int files_[3];
};

struct KelvoRun {
    int status;
    std::string output;
    std::string errors;  // the banner line taken off
};

// kelvoMain with `arguments` after the program's name, answering the prompt from `input`.
KelvoRun runKelvo(const std::vector<std::string>& arguments, const std::string& input);
