#include "update/runlog.h"

#include "files/filesystem.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>

namespace {

const QString LogName = QStringLiteral("updater.log");

QByteArray stamped(const QString &line)
{
    return (QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + QLatin1Char(' ') +
            withoutSecrets(line).replace(QLatin1Char('\n'), QLatin1String(" | ")) +
            QLatin1Char('\n'))
        .toUtf8();
}

} // namespace

QString withoutSecrets(const QString &text)
{
    // scheme://, then user, password and @ when present, the rest of the address, the query up
    // to the punctuation of the sentence around it.
    static const QRegularExpression url(
        QStringLiteral(R"(([A-Za-z][A-Za-z0-9+.-]*://)(?:([^\s/?#@:]*)(?::[^\s/?#@]*)?@)?)"
                       R"(([^\s?#]*)(\?[^\s#]*?(?=[.,:;)'"]*(?:[\s#]|$)))?)"));
    QString result;
    qsizetype from = 0;
    for (auto it = url.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        result += text.mid(from, match.capturedStart() - from) + match.captured(1);
        if (match.capturedLength(2) > 0)
            result += match.captured(2) + QLatin1Char('@');
        result += match.captured(3);
        if (match.capturedLength(4) > 0)
            result += QLatin1String("?<oculto>");
        from = match.capturedEnd();
    }
    return result + text.mid(from);
}

void RunLog::open(const QString &appDir)
{
    close();
    m_path = QDir(appDir).filePath(LogName);
    reopen();
}

void RunLog::close()
{
    m_file.close();
}

void RunLog::reopen(QIODevice::OpenMode mode)
{
    // A file opened from its handle forgets its name on closing.
    m_file.setFileName(m_path);
    // Never through a link or a second name: those go, and a file of the updater's own is made.
    // Unbuffered: what a killed run wrote is on the disk.
    fsys::openOwnFile(&m_file, mode | QIODevice::WriteOnly | QIODevice::Unbuffered);
}

void RunLog::setAside()
{
    m_file.close();
    const QString old = m_path + QStringLiteral(".1");
    // The old file goes as itself, never what a link there leads to. When this log cannot be
    // set aside (a folder at the old name), it starts over instead: bounded either way.
    fsys::removeFile(old);
    reopen(fsys::renameEntry(m_path, old) ? QIODevice::Append : QIODevice::Truncate);
}

void RunLog::write(const QStringList &lines)
{
    QByteArray pending;
    for (const QString &line : lines) {
        const QByteArray bytes = stamped(line);
        const qint64 size = m_file.isOpen() ? m_file.size() + pending.size() : 0;
        if (size > 0 && size + bytes.size() > Limit) {
            m_file.write(pending);
            pending.clear();
            setAside();
        }
        pending += bytes;
    }
    // A full disk or a failed write is not the run's concern.
    if (m_file.isOpen())
        m_file.write(pending);
}

void RunLog::note(const QString &appDir, const QString &text)
{
    QFile file(QDir(appDir).filePath(LogName));
    if (fsys::openOwnFile(&file, QIODevice::WriteOnly | QIODevice::Append))
        file.write(stamped(text));
}
