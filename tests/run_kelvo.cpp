#include "run_kelvo.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "driver.h"

namespace {

int temporaryFile() {
    char name[] = "/tmp/kelvo-stdio-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) unlink(name);
    return fd;
}

std::string contentsOf(int fd) {
    fflush(stdout);
    fflush(stderr);
    std::string text;
    char block[4096];
    ssize_t got = 0;
    for (off_t at = 0; (got = pread(fd, block, sizeof block, at)) > 0; at += got)
        text.append(block, size_t(got));
    return text;
}

// Drops stdin's buffered bytes and end-of-file state, so that the next read goes to
// whatever descriptor 0 now is. (A seek would not do: the C library may serve it from the
// stale buffer.)
void resynchroniseStdin() {
    __fpurge(stdin);
    clearerr(stdin);
}

}  // namespace

RedirectedStdio::RedirectedStdio(const std::string& input) {
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd < 3; ++fd) {
        saved_[fd] = dup(fd);
        files_[fd] = temporaryFile();
        if (saved_[fd] < 0 || files_[fd] < 0) abort();
    }
    if (write(files_[0], input.data(), input.size()) != ssize_t(input.size())) abort();
    lseek(files_[0], 0, SEEK_SET);
    for (int fd = 0; fd < 3; ++fd) dup2(files_[fd], fd);
    resynchroniseStdin();
}

RedirectedStdio::~RedirectedStdio() {
    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd < 3; ++fd) {
        dup2(saved_[fd], fd);
        close(saved_[fd]);
        close(files_[fd]);
    }
    resynchroniseStdin();
}

std::string RedirectedStdio::output() const { return contentsOf(files_[1]); }

std::string RedirectedStdio::errors() const { return contentsOf(files_[2]); }

KelvoRun runKelvo(const std::vector<std::string>& arguments, const std::string& input) {
    std::vector<std::string> words = {"kelvo"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    RedirectedStdio stdio(input);
    KelvoRun run;
    run.status = kelvoMain(int(words.size()), argv.data());
    run.output = stdio.output();
    const std::string errors = stdio.errors();
    const size_t bannerEnd = errors.find('\n');
    run.errors = bannerEnd == std::string::npos ? "" : errors.substr(bannerEnd + 1);
    return run;
}
