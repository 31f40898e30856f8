#pragma once

#include <sys/types.h>

namespace quindle {

// The system calls with which a save reserves room for a file, writes, syncs and renames it: the
// system's own, unless a test has put others in their place, to fail as a full file system or
// one that cannot reserve room does, or to see which calls come and in what order.
struct FileCalls {
    int (*fallocate)(int fd, int mode, off_t offset, off_t length);
    ssize_t (*pwrite)(int fd, const void* data, size_t size, off_t offset);
    int (*ftruncate)(int fd, off_t size);
    int (*fsync)(int fd);
    int (*rename)(const char* from, const char* to);
};

// The calls that saves make; a test changes them and puts systemFileCalls() back.
FileCalls& fileCalls();
FileCalls systemFileCalls();

} // namespace quindle
