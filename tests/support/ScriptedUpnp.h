#pragma once

#include "server/PortForwarder.h"
#include "server/UpnpBackend.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A scripted UPnP gateway. While one lives, every PortForwarder made (and so every Server) takes
// its gateway calls from it instead of the network, so no test sends discovery. Every fixture
// and fuzz target that builds a Server makes one before the Server; tests script it and read
// back the calls it got. The calls run on the port forwarder's worker thread, hence the lock.
//
// Unscripted it finds no device, so a forwarder that is asked to map logs that it was not
// initialised and calls nothing.
class ScriptedUpnp
{
public:
    ScriptedUpnp() : m_state(std::make_shared<State>())
    {
        PortForwarder::UseBackendForTesting(
            [state = m_state] { return std::make_unique<Backend>(state); });
    }
    ~ScriptedUpnp()
    {
        Release();
        PortForwarder::UseBackendForTesting(nullptr);
    }
    ScriptedUpnp(const ScriptedUpnp&) = delete;
    ScriptedUpnp& operator=(const ScriptedUpnp&) = delete;

    // What discovery finds; with no devices, the error code it reports.
    void SetDevices(std::vector<UpnpBackend::Device> devices, int error = 0)
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->devices = std::move(devices);
        m_state->discoverError = error;
    }
    // Whether the chosen device's description can be fetched (it gives a control URL).
    void SetDescriptionFound(bool found)
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->descriptionFound = found;
    }
    // The answers to the next mapping requests, in order; 0 once they are used up.
    void SetAddResults(std::deque<int> results)
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->addResults = std::move(results);
    }
    void SetDeleteResult(int result)
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->deleteResult = result;
    }

    // Discovery waits, inside the "library call", until Release().
    void BlockDiscovery()
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->block = true;
    }
    void Release()
    {
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            m_state->block = false;
        }
        m_state->changed.notify_all();
    }
    bool Discovering() const
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->discovering;
    }

    // The calls so far, in order: "discover", "load URL", "add PORT CLIENT", "delete PORT".
    QStringList Calls() const
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->calls;
    }
    // Backends not yet destroyed (one per worker thread still holding one).
    int BackendsAlive() const
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->alive;
    }

private:
    struct State
    {
        mutable std::mutex mutex;
        std::condition_variable changed;
        std::vector<UpnpBackend::Device> devices;
        int discoverError = 0;
        bool descriptionFound = true;
        std::deque<int> addResults;
        int deleteResult = 0;
        bool block = false;
        bool discovering = false;
        QStringList calls;
        int alive = 0;
    };

    class Backend final : public UpnpBackend
    {
    public:
        explicit Backend(std::shared_ptr<State> state) : m_state(std::move(state))
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            ++m_state->alive;
        }
        ~Backend() override
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            --m_state->alive;
        }

        void ForgetGateway() override { m_controlUrl.clear(); }

        std::vector<Device> Discover(int, int* error) override
        {
            std::unique_lock<std::mutex> lock(m_state->mutex);
            m_state->calls << QStringLiteral("discover");
            m_state->discovering = true;
            m_state->changed.wait(lock, [this] { return !m_state->block; });
            m_state->discovering = false;
            *error = m_state->discoverError;
            return m_state->devices;
        }

        bool LoadGateway(const std::string& url) override
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            m_state->calls << QStringLiteral("load %1").arg(QString::fromStdString(url));
            if (m_state->descriptionFound)
                m_controlUrl = url + "/ctl";
            return m_state->descriptionFound;
        }

        bool HasControlUrl() const override { return !m_controlUrl.empty(); }

        int AddPortMapping(const std::string& port, const std::string& client) override
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            m_state->calls << QStringLiteral("add %1 %2").arg(QString::fromStdString(port),
                                                              QString::fromStdString(client));
            if (m_state->addResults.empty())
                return 0;
            const int result = m_state->addResults.front();
            m_state->addResults.pop_front();
            return result;
        }

        int DeletePortMapping(const std::string& port) override
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            m_state->calls << QStringLiteral("delete %1").arg(QString::fromStdString(port));
            return m_state->deleteResult;
        }

    private:
        std::shared_ptr<State> m_state;
        std::string m_controlUrl;
    };

    std::shared_ptr<State> m_state;
};
