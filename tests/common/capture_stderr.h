// Captures what is written to stderr (fd 2) between construction and text(),
// for tests that provoke a failure whose complaint is expected: the suite's
// log then shows only what needs attention. The capture goes to an unnamed
// temporary file, so nothing is left behind.
#pragma once
#include <stdio.h>
#include <unistd.h>
#include <string>

class CaptureStderr {
  public:
    CaptureStderr() {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(2);
        if (file_ && saved_ >= 0) dup2(fileno(file_), 2);
    }
    ~CaptureStderr() { text(); }
    // Stops the capture (once) and returns what was written.
    const std::string &text() {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
            if (file_) {
                rewind(file_);
                char buf[512];
                size_t n;
                while ((n = fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
            }
        }
        if (file_) {
            fclose(file_);
            file_ = nullptr;
        }
        return text_;
    }

  private:
    FILE *file_ = nullptr;
    int saved_ = -1;
    std::string text_;
};
