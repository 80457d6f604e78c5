#include "server/UpnpBackend.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>

#include <cstdlib>
#include <cstring>

namespace {

// The description our mappings carry on the gateway.
const char kMappingDescription[] = "QuorvaleQT";
const char kProtocol[] = "TCP";
// Hops a discovery datagram may take: the gateway is on our own network.
constexpr unsigned char kDiscoveryTtl = 2;

class MiniupnpcBackend final : public UpnpBackend
{
public:
    MiniupnpcBackend()
    {
        std::memset(&m_urls, 0, sizeof m_urls);
        std::memset(&m_data, 0, sizeof m_data);
    }
    // GetUPNPUrls allocates the URLs; they go with the worker that used them.
    ~MiniupnpcBackend() override { FreeUPNPUrls(&m_urls); }
    MiniupnpcBackend(const MiniupnpcBackend&) = delete;
    MiniupnpcBackend& operator=(const MiniupnpcBackend&) = delete;

    void ForgetGateway() override
    {
        FreeUPNPUrls(&m_urls);
        std::memset(&m_urls, 0, sizeof m_urls);
        std::memset(&m_data, 0, sizeof m_data);
    }

    std::vector<Device> Discover(int delayMs, int* error) override
    {
        // No multicast interface, no minissdpd socket, no fixed source port, IPv4 only.
        UPNPDev* list = upnpDiscover(delayMs, nullptr, nullptr, 0, 0, kDiscoveryTtl, error);
        std::vector<Device> devices;
        for (UPNPDev* dev = list; dev; dev = dev->pNext)
            devices.push_back({dev->descURL ? dev->descURL : "", dev->st ? dev->st : ""});
        freeUPNPDevlist(list);
        return devices;
    }

    bool LoadGateway(const std::string& descriptionUrl) override
    {
        int size = 0;
        int status = 0;
        char* xml = static_cast<char*>(miniwget(descriptionUrl.c_str(), &size, 0, &status));
        if (!xml)
            return false;
        parserootdesc(xml, size, &m_data);
        std::free(xml);
        GetUPNPUrls(&m_urls, &m_data, descriptionUrl.c_str(), 0);
        return true;
    }

    bool HasControlUrl() const override { return m_urls.controlURL && *m_urls.controlURL; }

    int AddPortMapping(const std::string& port, const std::string& internalClient) override
    {
        return UPNP_AddPortMapping(m_urls.controlURL, m_data.first.servicetype, port.c_str(),
                                   port.c_str(), internalClient.c_str(), kMappingDescription,
                                   kProtocol, nullptr, nullptr);
    }

    int DeletePortMapping(const std::string& port) override
    {
        return UPNP_DeletePortMapping(m_urls.controlURL, m_data.first.servicetype, port.c_str(),
                                      kProtocol, nullptr);
    }

private:
    UPNPUrls m_urls;
    IGDdatas m_data;
};

} // namespace

std::unique_ptr<UpnpBackend> MakeMiniupnpcBackend()
{
    return std::make_unique<MiniupnpcBackend>();
}
