#include "fileshare/src/OpenFile.h"

#include "shared/lib/platform/CrtFiles.h"

namespace quor::fs {

OpenFile::~OpenFile()
{
    if (readDescriptor_ >= 0) {
        (void)platform::CloseFd(readDescriptor_);
    }
    // A record dropped without Close (the backend's destruction) leaves no descriptor open.
    if (!closed_.load()) {
        (void)platform::CloseFd(descriptor_);
    }
}

int OpenFile::Close()
{
    if (closed_.exchange(true)) {
        return 0;
    }
    return platform::CloseFd(descriptor_);
}

}  // namespace quor::fs
