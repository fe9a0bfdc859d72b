#pragma once

// One file of a release fetched into a partial copy that outlives a dropped connection or a
// killed run, then verified and put under its staged name. Each request asks only for the
// bytes still missing (Range, with If-Range set to the validator the server gave when the
// copy was started, kept in a file of its own), appends them and hashes them as they are
// written, so a finished file is never read back. What a server answers is checked before a
// byte is kept: a copy is continued only under a plain validator and a Content-Range that
// continues it exactly, is started over at most once, and a request that brings nothing is
// not repeated.

#include "download/sha256.h"
#include "download/stagedfile.h"
#include "download/transferscheduler.h"

#include <QFile>
#include <QSet>
#include <QString>

#include <memory>

// Folders below the client folder made real once per run and shared by its transfers.
struct OwnFolders
{
    QString appDir;
    QSet<QString> made;
    bool make(const QString &path); // the folder that holds path
};

// What an earlier run left of a file's partial copy, already hashed.
struct PartialCopy
{
    qint64 bytes = 0;
    std::unique_ptr<Sha256> hash;
    QByteArray validator;
};

class ResumableTransfer : public Transfer
{
public:
    ResumableTransfer(const UpdateFile &file, const StagingPaths &paths, PartialCopy earlier,
                      OwnFolders *folders);
    ~ResumableTransfer() override;

    Step next(const Attempt *last, QNetworkRequest *request) override;
    Verdict accept(QNetworkReply *reply) override;
    bool take(const char *data, qint64 size) override;
    qint64 held() const override { return m_held; }
    qint64 length() const override { return m_file.size >= 0 ? m_file.size : m_announced; }
    QString error() const override { return m_error; }

private:
    enum class Stopped
    {
        No,
        Misfit,   // the answer does not continue the copy
        TooLarge, // more bytes than the manifest announced
        NoRoom,   // a body of unknown size about to fill the disk
        WriteFailed
    };
    bool open();
    Step judge(const Attempt &last);
    Step complete();
    Step startOver(const QString &why);
    Step failed(const QString &message);
    void discard();
    void keepValidator(const QNetworkReply *reply);

    UpdateFile m_file;
    StagingPaths m_paths;
    PartialCopy m_earlier;
    OwnFolders *m_folders;
    QString m_shown;
    QFile m_part;
    std::unique_ptr<Sha256> m_hash;
    qint64 m_held = 0;
    qint64 m_announced = -1;
    qint64 m_answerFrom = 0;    // bytes held when the current answer began
    qint64 m_answerLength = -1; // the current answer's own body length, -1: not told
    QByteArray m_validator;
    bool m_resuming = false; // the request asked for a range
    int m_status = 0;
    int m_startOvers = 0;
    Stopped m_stopped = Stopped::No;
    QString m_misfit;
    QString m_error;
};

// A validator worth storing and sending back: a short header value of printable ASCII.
bool isPlainValidator(const QByteArray &value);
