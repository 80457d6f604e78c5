#pragma once

#include "store/Services.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>

#include <functional>
#include <map>
#include <type_traits>
#include <utility>
#include <vector>

class QTimer;

// Calls a slot once, a fixed delay after the first request, however many more requests for the
// same object and slot arrive meanwhile: bursts (a re-sort after every batch of results) become
// one call. A target destroyed while its call is pending is never called.
//
// Calls falling due within kTogetherMs of each other run together, in the order they fell due
// (in the order asked for when at once): whatever they change in the window is then laid out
// and painted once, where each would otherwise be followed by a layout of its own. The timers
// are coarse, and may fire a little early or late, and out of order.
class DelayedInvoker : public QObject
{
    Q_OBJECT

public:
    static constexpr int kTogetherMs = 20;

    explicit DelayedInvoker(QObject* parent = nullptr);
    ~DelayedInvoker() override;

    // A repeat while the call is pending is ignored and does not restart the delay. A request
    // made from inside the invoked slot starts a fresh one.
    template <class T, class S> void Invoke(T* target, void (S::*slot)(), int ms)
    {
        static_assert(std::is_base_of<QObject, T>::value && std::is_base_of<S, T>::value,
                      "the target must be a QObject that has the slot");
        S* object = target;
        Schedule(
            target, SlotKey<T>(slot), [object, slot] { (object->*slot)(); }, ms);
    }

    // Test-only: how many calls are pending, when one is due (on the Clock's monotonic scale;
    // -1 when none is pending), and running every pending call now, as their timers would.
    int PendingCount() const { return static_cast<int>(m_pendingByKey.size()); }
    template <class T, class S> qint64 PendingDeadline(T* target, void (S::*slot)()) const
    {
        return DeadlineOf(target, SlotKey<T>(slot));
    }
    void FirePendingNow();

private:
    using Key = std::pair<QObject*, QByteArray>;
    struct Pending
    {
        Key key;
        QPointer<QObject> target;
        std::function<void()> call;
        qint64 deadlineMs = 0;
        quint64 sequence = 0; // order of asking
    };

    // Member function pointers have no order of their own; their bytes identify them. They are
    // taken as members of the target's class: two virtual slots of different bases can share a
    // vtable position, and only the base's offset in the target then tells them apart.
    template <class T, class S> static QByteArray SlotKey(void (S::*slot)())
    {
        void (T::*member)() = slot;
        return QByteArray(reinterpret_cast<const char*>(&member), sizeof(member));
    }

    void Schedule(QObject* target, const QByteArray& slot, std::function<void()> call, int ms);
    void Fire(QTimer* timer);
    // Runs the pending calls of these timers, by deadline, then by order of asking.
    void RunInOrder(std::vector<QTimer*> timers);
    void Run(QTimer* timer);
    void Forget(QObject* target);
    void UnwatchIfIdle(QObject* target);
    qint64 DeadlineOf(QObject* target, const QByteArray& slot) const;

    std::map<Key, QTimer*> m_pendingByKey;
    std::map<QTimer*, Pending> m_pendingByTimer;
    quint64 m_nextSequence = 0;
    // Targets whose destroyed() we listen to, so that a stale request never blocks a new
    // object that happens to get the same address.
    QHash<QObject*, QMetaObject::Connection> m_watched;
};
