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

// A list of handlers that a notification walks in place. A notification holds the list as it
// was when it started; a change made while one is running (a handler added, a retired one
// dropped) goes to a fresh copy, so only such a change pays for a copy and the running walk
// never sees it. The store is used on one thread, so the count is a plain int.
template <class T> class HandlerList
{
    struct Shared
    {
        int refs = 1;
        std::vector<T*> items;
    };

public:
    HandlerList() = default;
    ~HandlerList() { Unref(list_); }
    HandlerList(const HandlerList&) = delete;
    HandlerList& operator=(const HandlerList&) = delete;

    bool IsEmpty() const { return !list_ || list_->items.empty(); }
    size_t Size() const { return list_ ? list_->items.size() : 0; }
    bool Contains(const T* item) const
    {
        return list_ &&
               std::find(list_->items.begin(), list_->items.end(), item) != list_->items.end();
    }
    void Append(T* item) { Mutable().push_back(item); }
    bool Remove(const T* item)
    {
        if (!Contains(item))
            return false;
        std::vector<T*>& items = Mutable();
        items.erase(std::find(items.begin(), items.end(), item));
        return true;
    }

    // The list as it is now, kept as it is for as long as the snapshot lives.
    class Snapshot
    {
    public:
        explicit Snapshot(const HandlerList& list) : shared_(list.list_)
        {
            if (shared_)
                ++shared_->refs;
        }
        ~Snapshot() { Unref(shared_); }
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;
        typename std::vector<T*>::const_iterator begin() const
        {
            return shared_ ? shared_->items.cbegin() : Empty().cbegin();
        }
        typename std::vector<T*>::const_iterator end() const
        {
            return shared_ ? shared_->items.cend() : Empty().cend();
        }

    private:
        Shared* shared_;
    };

private:
    static const std::vector<T*>& Empty()
    {
        static const std::vector<T*> empty;
        return empty;
    }
    static void Unref(Shared* shared)
    {
        if (shared && --shared->refs == 0)
            delete shared;
    }
    std::vector<T*>& Mutable()
    {
        if (!list_) {
            list_ = new Shared;
        } else if (list_->refs > 1) {
            auto* copy = new Shared;
            copy->items = list_->items;
            --list_->refs;
            list_ = copy;
        }
        return list_->items;
    }

    Shared* list_ = nullptr;
};

// Handlers are called in the order they were added, so runs repeat exactly.
template <class Arg> class Event
{
public:
    Event() = default;
    ~Event()
    {
        typename HandlerList<EventHandlerBase<Arg>>::Snapshot all(handlers_);
        for (EventHandlerBase<Arg>* h : all)
            h->Release();
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Add(EventHandlerBase<Arg>* handler)
    {
        if (!handler || handlers_.Contains(handler))
            return;
        handler->Retain();
        handlers_.Append(handler);
    }
    // Takes a handler out at once (the store's own path handlers, when their last pattern goes).
    void Remove(EventHandlerBase<Arg>* handler) { Drop(handler); }
    bool IsEmpty() const { return handlers_.IsEmpty(); }
    size_t Size() const { return handlers_.Size(); }

    // A handler added during a notification is first called by the next one; a handler flagged
    // during a notification is not called by it once its turn comes.
    void Notify(Arg arg)
    {
        if (handlers_.IsEmpty())
            return;
        EventHandlerRoot::NotifyScope scope;
        typename HandlerList<EventHandlerBase<Arg>>::Snapshot snapshot(handlers_);
        for (EventHandlerBase<Arg>* h : snapshot) {
            if (h->IsRemoved())
                Drop(h);
            else
                h->Handle(arg);
        }
    }

private:
    void Drop(EventHandlerBase<Arg>* h)
    {
        if (handlers_.Remove(h))
            h->Release();
    }

    HandlerList<EventHandlerBase<Arg>> handlers_;
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
    // Flags one handler and lets go of it, while the subscriber lives on.
    void RetireDataHandler(EventHandlerRoot* handler);

    // Makes a handler bound to a member function and keeps it in this subscriber's set; the
    // caller then adds it to an event or a pair or path table.
    template <class T, class Arg>
    EventHandler<T, Arg>* NewEventHandler(T* object, void (T::*method)(Arg))
    {
        auto* h = new EventHandler<T, Arg>(object, method);
        // A handler just made is in no set yet: no need to look for it.
        h->Retain();
        handlers_.push_back(h);
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
