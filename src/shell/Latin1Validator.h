#pragma once

#include <QValidator>

// For fields that take a user or group name. Such names are stored as Latin-1 bytes (NameBytes,
// shell/DisplayText.h), and a character outside Latin-1 has no byte to become: it would be stored
// as "?", so that "Семья" and "Шахты" both became the group "?????". The field refuses such a
// character as it is typed or pasted, and keeps what it held.
class Latin1Validator : public QValidator
{
    Q_OBJECT

public:
    explicit Latin1Validator(QObject* parent = nullptr);

    // Acceptable when every character is Latin-1, Invalid otherwise.
    State validate(QString& input, int& position) const override;

    // Whether every character of the text has a Latin-1 byte.
    static bool IsLatin1(const QString& text);
};
