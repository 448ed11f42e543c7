#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "shared/lib/platform/SerialPort.h"

namespace quor::fs {

// The file-share server as the clipboard side sees it.
class FuseServerInterface {
public:
    virtual bool Start(std::uint32_t portIndex) = 0;
    // Stops serving and lets go of the port and the devices (one of them went away);
    // Start may follow.
    virtual void Stop() {}
    virtual ~FuseServerInterface() = default;
    virtual bool AddShareName(const std::string& name, const std::unordered_map<std::string, std::string>& files,
                              std::int64_t accessTime, bool hidden, bool readOnly) = 0;
    // 0 removed, 1 refused because files of the share are open, 2 no such name.
    virtual std::int32_t RemoveShareName(const std::string& name, bool force) = 0;
    virtual bool GetShareAccessTime(const std::string& name, std::int64_t& accessTime) = 0;
    // The server's port handle, kInvalidPort while it has none.
    virtual platform::PortHandle GetPortHandle() = 0;
    virtual void OnPortStatus(bool hostOpen) = 0;
};

}  // namespace quor::fs
