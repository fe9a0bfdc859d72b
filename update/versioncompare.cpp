#include "update/versioncompare.h"

#include "files/appversion.h"

QList<int> parseVersionNumbers(const QString &text)
{
    QList<int> numbers;
    QString run;
    const auto endRun = [&]() {
        // The toolkit's base-10 conversion decides: a run it rejects (too large, or digits
        // of another script) counts as 0.
        if (!run.isEmpty())
            numbers.append(run.toInt(nullptr, 10));
        run.clear();
    };
    for (const QChar c : text.trimmed()) {
        if (c.isDigit())
            run.append(c);
        else
            endRun();
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
