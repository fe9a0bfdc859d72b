#pragma once

#include <QString>

// Operations answer false and, when the caller asked for one, say why.
inline bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}
