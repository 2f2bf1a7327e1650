#include "capture.h"

CapturedStream::CapturedStream() : file_(tmpfile()) {}

CapturedStream::~CapturedStream() {
    if (file_ != nullptr) fclose(file_);
}

std::string CapturedStream::text() const {
    fflush(file_);
    const long end = ftell(file_);
    std::string text(static_cast<size_t>(end), '\0');
    rewind(file_);
    const size_t read = fread(&text[0], 1, text.size(), file_);
    text.resize(read);
    fseek(file_, 0, SEEK_END);
    return text;
}

InputStream::InputStream(const std::string& text) : file_(tmpfile()) {
    fwrite(text.data(), 1, text.size(), file_);
    rewind(file_);
}

InputStream::~InputStream() {
    if (file_ != nullptr) fclose(file_);
}
