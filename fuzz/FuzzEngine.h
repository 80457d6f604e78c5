#pragma once

// The engine of a fuzz target: built once per process, on the first input, and put back as it
// was built at the end of every input. Building it for every input (its whole store schema, the
// worker threads) took most of each run.

#include "FuzzSupport.h"

#include "engine/Engine.h"
#include "support/ScriptedUpnp.h"

#include <QCoreApplication>
#include <QEvent>

#include <cstdlib>

// One input's use of the engine. Made before anything else of the input, so that it ends after
// all of that is gone: the engine's reset then frees what the input left in the store (records
// whose addresses only the store holds, which the leak check could not see otherwise).
class FuzzRun
{
public:
    // The same options in every input.
    explicit FuzzRun(EngineOptions options)
    {
        EnsureApplication();
        if (!s_built) {
            options.reusableForTesting = true;
            s_built = new Built(options);
            // Registered last, so it runs first at exit, while what the engine uses is there.
            std::atexit([] { delete s_built; });
        }
    }
    ~FuzzRun()
    {
        // No target runs the event loop: the deletions the input left pending happen now, and
        // whatever else it posted (queued calls that name its sockets) is dropped unseen.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::removePostedEvents(nullptr);
        s_built->engine.ResetForTesting();
    }
    FuzzRun(const FuzzRun&) = delete;
    FuzzRun& operator=(const FuzzRun&) = delete;

    Engine& engine() { return s_built->engine; }

private:
    struct Built
    {
        explicit Built(const EngineOptions& options) : engine(options) {}
        // No gateway discovery ever leaves a fuzz run.
        ScriptedUpnp gateway;
        Engine engine;
    };
    static inline Built* s_built = nullptr;
};
