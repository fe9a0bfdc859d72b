#include "files/jsonrecord.h"

#include <cmath>
#include <limits>

QString recordFilePath(const QString &appDir, const QString &name)
{
    // An empty folder means the working folder, never the root.
    if (appDir.isEmpty() || appDir.endsWith(QLatin1Char('/')))
        return appDir + name;
    return appDir + QLatin1Char('/') + name;
}

int wholeInt(const QJsonValue &value, int fallback)
{
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number)
        return fallback;
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        return fallback;
    return static_cast<int>(number);
}
