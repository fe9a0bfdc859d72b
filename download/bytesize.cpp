#include "download/bytesize.h"

QString formatByteSize(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("desconhecido");

    static const char *const units[] = {"B", "KB", "MB", "GB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value *= 0.0009765625;
        ++unit;
    }
    const QString unitText = QLatin1String(units[unit]);
    if (unit == 0)
        return QStringLiteral("%1 %2").arg(QString::number(bytes), unitText);
    // QString::number ignores the locale: always "." and no grouping.
    return QStringLiteral("%1 %2").arg(QString::number(value, 'f', value < 10.0 ? 2 : 1), unitText);
}
