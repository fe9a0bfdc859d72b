#include "update/versioncompare.h"

#include "files/appversion.h"

#include <limits>

QList<int> parseVersionNumbers(const QString &text)
{
    constexpr qint64 limit = std::numeric_limits<int>::max();
    QList<int> numbers;
    qint64 value = 0;
    bool inRun = false;
    bool oversized = false;
    const auto endRun = [&]() {
        if (inRun)
            numbers.append(oversized ? 0 : static_cast<int>(value));
        value = 0;
        inRun = false;
        oversized = false;
    };

    for (const QChar c : text.trimmed()) {
        if (!c.isDigit()) {
            endRun();
            continue;
        }
        // Each Unicode decimal digit counts with its own value, so Arabic-Indic or
        // fullwidth digits order like ASCII ones; QString::toInt would give 0 for them.
        inRun = true;
        if (!oversized) {
            value = value * 10 + c.digitValue();
            oversized = value > limit;
        }
    }
    endRun();
    return numbers;
}

int compareVersionStrings(const QString &a, const QString &b)
{
    const QList<int> left = parseVersionNumbers(a);
    const QList<int> right = parseVersionNumbers(b);
    const qsizetype count = qMax(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const int x = left.value(i, 0);
        const int y = right.value(i, 0);
        if (x < y)
            return -1;
        if (x > y)
            return 1;
    }
    return QString::compare(a.trimmed(), b.trimmed(), Qt::CaseInsensitive);
}

int compareVersions(const AppVersion &a, const AppVersion &b)
{
    const int byText = compareVersionStrings(a.version, b.version);
    if (byText != 0)
        return byText;
    if (a.build < b.build)
        return -1;
    if (a.build > b.build)
        return 1;
    return 0;
}
