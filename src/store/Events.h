#pragma once

// Store events and the handler objects behind them.
//
// A handler is shared by the subscriber that made it (its DataHandler) and by every event or
// table it was put in; each holder keeps a reference. A subscriber that goes away only flags its
// handlers, the events drop flagged handlers the next time they notify, and the last holder to
// let go frees the handler, never while a notification is running: nested notifications walk
// copies of handler lists that may still name it.

#include <algorithm>
#include <vector>

class Item;

// The item on whose side a connection event is told, then its partner.
struct ConnectionInfo
{
    Item* first = nullptr;
    Item* second = nullptr;
};

class EventHandlerRoot
{
public:
    EventHandlerRoot() = default;
    virtual ~EventHandlerRoot() = default;
    EventHandlerRoot(const EventHandlerRoot&) = delete;
    EventHandlerRoot& operator=(const EventHandlerRoot&) = delete;

    bool IsRemoved() const { return removed_; }
    void MarkRemoved() { removed_ = true; }

    void Retain() { ++refs_; }
    void Release();

    // Marks a notification in progress for as long as it lives.
    class NotifyScope
    {
    public:
        NotifyScope() { ++depth_; }
        ~NotifyScope();
        NotifyScope(const NotifyScope&) = delete;
        NotifyScope& operator=(const NotifyScope&) = delete;
    };
    static bool IsNotifying() { return depth_ > 0; }

private:
    static void FreeRetired();

    bool removed_ = false;
    int refs_ = 0;
    static int depth_;
    static std::vector<EventHandlerRoot*> retired_;
};

template <class Arg> class EventHandlerBase : public EventHandlerRoot
{
public:
    virtual void Handle(Arg arg) = 0;
};

// Binds one member function of a subscriber.
template <class T, class Arg> class EventHandler : public EventHandlerBase<Arg>
{
public:
    using Method = void (T::*)(Arg);
    EventHandler(T* object, Method method) : object_(object), method_(method) {}
    void Handle(Arg arg) override { (object_->*method_)(arg); }

private:
    T* object_;
    Method method_;
};

// Handlers are called in the order they were added, so runs repeat exactly.
template <class Arg> class Event
{
public:
    Event() = default;
    ~Event()
    {
        for (EventHandlerBase<Arg>* h : handlers_)
            h->Release();
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Add(EventHandlerBase<Arg>* handler)
    {
        if (!handler || std::find(handlers_.begin(), handlers_.end(), handler) != handlers_.end())
            return;
        handler->Retain();
        handlers_.push_back(handler);
    }
    // Takes a handler out at once (the store's own path handlers, when their last pattern goes).
    void Remove(EventHandlerBase<Arg>* handler) { Drop(handler); }
    bool IsEmpty() const { return handlers_.empty(); }
    size_t Size() const { return handlers_.size(); }

    // A handler added during a notification is first called by the next one; a handler flagged
    // during a notification is not called by it once its turn comes.
    void Notify(Arg arg)
    {
        if (handlers_.empty())
            return;
        EventHandlerRoot::NotifyScope scope;
        const std::vector<EventHandlerBase<Arg>*> copy(handlers_);
        for (EventHandlerBase<Arg>* h : copy) {
            if (h->IsRemoved())
                Drop(h);
            else
                h->Handle(arg);
        }
    }

private:
    void Drop(EventHandlerBase<Arg>* h)
    {
        auto it = std::find(handlers_.begin(), handlers_.end(), h);
        if (it != handlers_.end()) {
            handlers_.erase(it);
            h->Release();
        }
    }

    std::vector<EventHandlerBase<Arg>*> handlers_;
};

// Base of every class that subscribes to store events. Destroying the subscriber flags all of its
// handlers so that they are never called again.
class DataHandler
{
public:
    DataHandler() = default;
    virtual ~DataHandler();
    DataHandler(const DataHandler&) = delete;
    DataHandler& operator=(const DataHandler&) = delete;

    void RemoveDataHandlers();
    void AddDataHandler(EventHandlerRoot* handler);

    // Makes a handler bound to a member function and keeps it in this subscriber's set; the
    // caller then adds it to an event or a pair or path table.
    template <class T, class Arg>
    EventHandler<T, Arg>* NewEventHandler(T* object, void (T::*method)(Arg))
    {
        auto* h = new EventHandler<T, Arg>(object, method);
        AddDataHandler(h);
        return h;
    }

private:
    std::vector<EventHandlerRoot*> handlers_;
};

// Told once after the store file is loaded (or at once when there is none).
class DataLoadedEventHandler
{
public:
    virtual ~DataLoadedEventHandler() = default;
    virtual void DataLoaded() = 0;
};
