// Text that code under test writes to a stream, captured for comparison.
#pragma once

#include <cstdio>
#include <string>

class CapturedStream {
public:
    CapturedStream();
    ~CapturedStream();
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    FILE* stream() const { return file_; }
    std::string text() const;

private:
    FILE* file_;
};

// A stream to read from that holds `text`.
class InputStream {
public:
    explicit InputStream(const std::string& text);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    FILE* stream() const { return file_; }

private:
    FILE* file_;
};
