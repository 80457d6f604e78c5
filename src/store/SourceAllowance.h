#pragma once

#include <QtGlobal>

#include <map>

// An allowance that grows with the time passing, drawn on by sources that anyone can make (the
// connections searches come through): each draws from a share of its own and from the whole at
// once. One source flooding spends its share and leaves the rest of the whole to the others, and
// however many sources there are, together they take no more than the whole. Amounts are in the
// owner's unit; times are readings of Clock::MonotonicMs, and growth is counted in whole units
// per millisecond, so that nothing of the time passing is lost however often it is read.
class SourceAllowance
{
public:
    struct Rate
    {
        qint64 perMs; // above 0
        qint64 burst; // the most it holds, and what a source never seen before starts with
    };

    // Sources followed at once. Past it the one whose share has most left is forgotten: it comes
    // back with a full share, which the whole still bounds.
    static constexpr size_t kMaxSources = 64;

    SourceAllowance(Rate whole, Rate eachSource) : m_wholeRate(whole), m_sourceRate(eachSource)
    {
        m_whole.left = whole.burst;
    }

    struct Draw
    {
        // What source may take now, the lesser of its share and the whole; 0 or less: nothing.
        qint64 left = 0;
        // Nothing left because the whole is spent, not only source's share.
        bool wholeSpent = false;
        // Nothing left, for the first time since what ran out last held its burst: to say so
        // once.
        bool firstRefusal = false;
    };
    Draw Left(quintptr source, qint64 nowMs);
    // From source's share and the whole. Either may go below nothing: the time passing pays it
    // back before the next draw.
    void Take(quintptr source, qint64 amount);

private:
    struct Share
    {
        qint64 left = 0;
        qint64 atMs = -1;
        bool refused = false;
    };
    static void Grow(Share& share, const Rate& rate, qint64 nowMs);
    Share& ShareOf(quintptr source, qint64 nowMs);

    Rate m_wholeRate;
    Rate m_sourceRate;
    Share m_whole;
    std::map<quintptr, Share> m_sources;
};
