#include "shell/Latin1Validator.h"

namespace {

constexpr char16_t kLastLatin1 = 0xff;

} // namespace

Latin1Validator::Latin1Validator(QObject* parent) : QValidator(parent) {}

QValidator::State Latin1Validator::validate(QString& input, int&) const
{
    return IsLatin1(input) ? Acceptable : Invalid;
}

bool Latin1Validator::IsLatin1(const QString& text)
{
    for (QChar c : text) {
        if (c.unicode() > kLastLatin1)
            return false;
    }
    return true;
}
