#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

// The readers under test take a file path: each input is written to one scratch file of the
// process, rewritten for every input.
namespace quillon::fuzz {

inline QString inputFile(const uint8_t* data, size_t size) {
    static const QString path = [] {
        char name[] = "/tmp/quillon-fuzz-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        ::close(fd);
        return QString::fromLocal8Bit(name);
    }();
    std::FILE* f = std::fopen(path.toLocal8Bit().constData(), "wb");
    if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror("cannot write the input file");
        std::abort();
    }
    return path;
}

// A check that must hold whatever the input: a failure is a finding.
inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

} // namespace quillon::fuzz
