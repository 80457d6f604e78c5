#include "store/SourceAllowance.h"

#include <algorithm>

void SourceAllowance::Grow(Share& share, const Rate& rate, qint64 nowMs)
{
    if (share.atMs >= 0 && nowMs > share.atMs && share.left < rate.burst) {
        // Whatever was owed, a gap this long fills it: no product that could overflow.
        const qint64 gap = nowMs - share.atMs;
        const qint64 toFull = (rate.burst - share.left) / rate.perMs + 1;
        share.left =
            gap >= toFull ? rate.burst : std::min(rate.burst, share.left + gap * rate.perMs);
    }
    share.atMs = std::max(share.atMs, nowMs);
    if (share.left >= rate.burst)
        share.refused = false;
}

SourceAllowance::Share& SourceAllowance::ShareOf(quintptr source, qint64 nowMs)
{
    auto it = m_sources.find(source);
    if (it != m_sources.end()) {
        Grow(it->second, m_sourceRate, nowMs);
        return it->second;
    }
    if (m_sources.size() >= kMaxSources) {
        // A full share is as good as none.
        for (auto s = m_sources.begin(); s != m_sources.end();) {
            Grow(s->second, m_sourceRate, nowMs);
            s = s->second.left >= m_sourceRate.burst ? m_sources.erase(s) : std::next(s);
        }
        if (m_sources.size() >= kMaxSources)
            m_sources.erase(std::max_element(
                m_sources.begin(), m_sources.end(),
                [](const auto& a, const auto& b) { return a.second.left < b.second.left; }));
    }
    Share& share = m_sources[source];
    share.left = m_sourceRate.burst;
    share.atMs = nowMs;
    return share;
}

SourceAllowance::Draw SourceAllowance::Left(quintptr source, qint64 nowMs)
{
    Grow(m_whole, m_wholeRate, nowMs);
    Share& own = ShareOf(source, nowMs);
    Draw draw;
    draw.left = std::min(own.left, m_whole.left);
    if (draw.left > 0)
        return draw;
    draw.wholeSpent = m_whole.left <= 0;
    Share& spent = draw.wholeSpent ? m_whole : own;
    draw.firstRefusal = !spent.refused;
    spent.refused = true;
    return draw;
}

void SourceAllowance::Take(quintptr source, qint64 amount)
{
    m_whole.left -= amount;
    const auto it = m_sources.find(source);
    if (it != m_sources.end())
        it->second.left -= amount;
}
