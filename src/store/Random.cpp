#include "store/Random.h"

#include <QRandomGenerator>

namespace {

std::function<quint32()>& Source()
{
    static std::function<quint32()> source;
    return source;
}

} // namespace

quint32 RandomU32()
{
    const auto& source = Source();
    if (source)
        return source();
    return QRandomGenerator::global()->generate();
}

void SetRandomSource(std::function<quint32()> source)
{
    Source() = std::move(source);
}
