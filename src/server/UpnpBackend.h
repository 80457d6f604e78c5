#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The gateway calls of the port forwarder, one method per library step, so that tests can
// script a gateway instead of sending discovery onto the network. The program uses
// MakeMiniupnpcBackend(). A backend is made on the GUI thread and then used, and destroyed, on
// the port forwarder's worker thread alone; it holds the gateway records between the calls.
class UpnpBackend
{
public:
    struct Device
    {
        std::string descriptionUrl;
        std::string searchTarget;
    };

    virtual ~UpnpBackend() = default;

    // Forgets the gateway found before, if any: no control URL afterwards.
    virtual void ForgetGateway() = 0;
    // Searches the network for devices for delayMs. An empty list is "no device list", with the
    // library's error code in *error.
    virtual std::vector<Device> Discover(int delayMs, int* error) = 0;
    // Fetches and parses the device description at url and takes the gateway's control URL from
    // it. False when the description could not be fetched.
    virtual bool LoadGateway(const std::string& descriptionUrl) = 0;
    virtual bool HasControlUrl() const = 0;
    // TCP mappings under our description, with neither a remote host nor a lease duration; the
    // library's result (0 for success, else the gateway's or the library's error code).
    virtual int AddPortMapping(const std::string& port, const std::string& internalClient) = 0;
    virtual int DeletePortMapping(const std::string& port) = 0;
};

using UpnpBackendFactory = std::function<std::unique_ptr<UpnpBackend>()>;

std::unique_ptr<UpnpBackend> MakeMiniupnpcBackend();
