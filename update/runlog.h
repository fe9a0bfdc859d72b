#pragma once

// What support reads after a player reports a failed update: updater.log in the client folder,
// one timestamped line per event, appended to by every run. Bounded: a line that would take it
// past 1 MiB first sets it aside as updater.log.1, the one old file kept. A log that cannot be
// written is dropped without a word and never fails a run. Addresses lose their passwords and
// query strings on the way in, since either may carry a player's credentials.

#include <QFile>
#include <QString>
#include <QStringList>

class RunLog
{
public:
    static constexpr qint64 Limit = 1024 * 1024;

    // The log of a run that holds the client folder; only such a run sets old lines aside.
    void open(const QString &appDir);
    void close();

    void write(const QString &text) { write(QStringList{text}); }
    // Several lines, pushed to the disk together.
    void write(const QStringList &lines);

    // One line from an updater that does not hold the folder: appended, never set aside.
    static void note(const QString &appDir, const QString &text);

private:
    void reopen(QIODevice::OpenMode mode = QIODevice::Append);
    void setAside();

    QString m_path;
    QFile m_file;
};

// text with every URL's password and query string taken out.
QString withoutSecrets(const QString &text);
