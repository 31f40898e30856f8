#include "persistence/FileCalls.h"

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace quindle {

FileCalls systemFileCalls()
{
    return {::fallocate, ::pwrite, ::ftruncate, ::fsync, ::rename};
}

FileCalls& fileCalls()
{
    static FileCalls calls = systemFileCalls();
    return calls;
}

} // namespace quindle
