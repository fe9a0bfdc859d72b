#pragma once

// One file fetched into a partial copy that outlives a dropped connection or a killed run.
// Each attempt asks only for the bytes still missing (Range, with If-Range set to the
// validator the server gave when the copy was started, kept in a file of its own), appends
// them, and hashes them as they are written, so a finished file is never read back.

#include "download/sha256.h"

#include <QFile>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class EventSlices;
class QNetworkAccessManager;
class QNetworkReply;

class ResumableTransfer
{
public:
    enum class Outcome
    {
        Complete,  // every byte is in, the digest is ready
        Broken,    // the connection dropped or went silent: worth another attempt
        StartOver, // the server could not continue the partial copy; it was emptied
        Refused,   // an HTTP error status: another attempt would get the same
        TooLarge,  // more bytes than the manifest announced
        WriteFailed
    };

    // expectedSize -1: unknown, the transfer ends when the server ends it.
    ResumableTransfer(QNetworkAccessManager *manager, const QUrl &url, qint64 expectedSize,
                      const QString &partPath, const QString &validatorPath);
    ~ResumableTransfer();

    // Opens the partial copy an earlier attempt or run left, and hashes what it holds.
    bool open(EventSlices &slices, QString *error);
    // One request; onBytes gets the bytes held after every write.
    Outcome attempt(int idleTimeoutMs, const std::function<void(qint64)> &onBytes);
    // Empties the partial copy and forgets its validator.
    void discard();

    qint64 bytesHeld() const { return m_held; }
    QByteArray digestHex(); // once Complete
    bool timedOut() const { return m_timedOut; }
    QString errorText() const { return m_error; } // the reply's or the disk's words

private:
    enum class Response
    {
        Take,      // the bytes continue or start the copy
        StartOver, // the copy was emptied; a new request must start it
        Ignore     // an error page: not the file
    };
    Response acceptResponse(QNetworkReply *reply);
    bool write(const char *data, qint64 size);

    QNetworkAccessManager *m_manager;
    QUrl m_url;
    qint64 m_expected;
    QString m_validatorPath;
    QFile m_part;
    std::unique_ptr<Sha256> m_hash;
    qint64 m_held = 0;
    QByteArray m_validator;
    bool m_timedOut = false;
    QString m_error;
};
