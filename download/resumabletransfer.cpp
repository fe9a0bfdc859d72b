#include "download/resumabletransfer.h"

#include "download/filehash.h"
#include "files/eventslices.h"
#include "files/filesystem.h"
#include "manifest/updaterequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>

namespace {

// What the network layer may hold for us between two writes: a disk slower than the link
// must not pile the file up in memory.
constexpr qint64 ReplyBufferSize = 4 * 1024 * 1024;
constexpr qint64 BlockSize = 1024 * 1024;
// A validator is a short token; anything longer is not one.
constexpr qint64 ValidatorLimit = 1024;

} // namespace

ResumableTransfer::ResumableTransfer(QNetworkAccessManager *manager, const QUrl &url,
                                     qint64 expectedSize, const QString &partPath,
                                     const QString &validatorPath)
    : m_manager(manager), m_url(url), m_expected(expectedSize), m_validatorPath(validatorPath),
      m_part(partPath), m_hash(new Sha256)
{}

ResumableTransfer::~ResumableTransfer() = default;

bool ResumableTransfer::open(EventSlices &slices, QString *error)
{
    if (!m_part.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        if (error)
            *error = m_part.errorString();
        return false;
    }
    QFile validator(m_validatorPath);
    if (validator.open(QIODevice::ReadOnly))
        m_validator = validator.read(ValidatorLimit).trimmed();
    // The bytes already held are hashed once, so that the new ones only extend the digest.
    const auto yield = [&slices](qint64) {
        slices.yield();
    };
    if (m_part.size() > 0 && (!hashFileInto(m_part.fileName(), m_hash.get(), &m_held, yield) ||
                              (m_expected >= 0 && m_held > m_expected)))
        discard();
    return m_part.seek(m_held);
}

void ResumableTransfer::discard()
{
    m_part.resize(0);
    m_part.seek(0);
    m_hash.reset(new Sha256);
    m_held = 0;
    m_validator.clear();
    QFile::remove(m_validatorPath);
}

QByteArray ResumableTransfer::digestHex()
{
    return finishHex(m_hash.get());
}

// Decides, before the first byte is taken, whether the answer continues the partial copy.
ResumableTransfer::Response ResumableTransfer::acceptResponse(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 206) {
        static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+|\\*)$"));
        const auto match = range.match(QString::fromLatin1(reply->rawHeader("Content-Range")));
        const bool fits = match.hasMatch() && match.captured(1).toLongLong() == m_held &&
                          (m_expected < 0 || match.captured(3) == QString::number(m_expected));
        if (!fits)
            discard();
        return fits ? Response::Take : Response::StartOver;
    }
    if (status != 200)
        return Response::Ignore;
    if (m_held > 0)
        discard();
    // Weak entity tags cannot guard a range, a modification date can.
    QByteArray validator = reply->rawHeader("ETag");
    if (validator.isEmpty() || validator.startsWith("W/"))
        validator = reply->rawHeader("Last-Modified");
    // A plain write: an atomic save would sync every file's validator to disk, and a torn one
    // only makes the server send the whole file again.
    QFile file(m_validatorPath);
    if (!validator.isEmpty() && validator.size() <= ValidatorLimit &&
        file.open(QIODevice::WriteOnly) && file.write(validator) == validator.size())
        m_validator = validator;
    return Response::Take;
}

bool ResumableTransfer::write(const char *data, qint64 size)
{
    // A short write is tried again for the rest, which brings out the disk's reason.
    qint64 written = 0;
    for (qint64 n = 0; written < size; written += n) {
        n = m_part.write(data + written, size - written);
        if (n <= 0)
            break;
    }
    if (written != size) {
        m_error = m_part.errorString();
        // A short write leaves bytes the hash never saw.
        m_part.resize(m_held);
        return false;
    }
    m_hash->update(data, std::size_t(size));
    m_held += size;
    return true;
}

ResumableTransfer::Outcome ResumableTransfer::attempt(int idleTimeoutMs,
                                                      const std::function<void(qint64)> &onBytes)
{
    m_timedOut = false;
    m_error.clear();
    if (m_expected >= 0 && m_held == m_expected)
        return Outcome::Complete;

    QNetworkRequest request = makeUpdateRequest(m_url);
    const bool resuming = m_held > 0;
    if (resuming) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_held) + '-');
        if (!m_validator.isEmpty())
            request.setRawHeader("If-Range", m_validator);
    }
    QNetworkReply *reply = m_manager->get(request);
    reply->setReadBufferSize(ReplyBufferSize);

    Outcome outcome = Outcome::Broken;
    bool decided = false;
    bool stopped = false;
    Response response = Response::Take;
    qint64 ignored = 0;
    QByteArray block(BlockSize, Qt::Uninitialized);
    const auto stop = [&](Outcome why) {
        outcome = why;
        stopped = true;
        reply->abort();
    };
    const auto drain = [&] {
        if (!decided) {
            decided = true;
            response = acceptResponse(reply);
            if (response == Response::StartOver)
                return stop(Outcome::StartOver);
        }
        while (!stopped && reply->bytesAvailable() > 0) {
            qint64 n = reply->read(block.data(), BlockSize);
            if (n <= 0)
                break;
            // An error page is read and dropped, but only while it stays the size of one.
            if (response == Response::Ignore) {
                if ((ignored += n) > BlockSize)
                    return stop(Outcome::Refused);
                continue;
            }
            if (m_expected >= 0 && m_held + n > m_expected)
                return stop(Outcome::TooLarge);
            if (!write(block.constData(), n))
                return stop(Outcome::WriteFailed);
            onBytes(m_held);
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
    m_timedOut = awaitReply(reply, idleTimeoutMs, AwaitMode::Idle);
    // Bytes of an accepted answer that came before a break are kept for the resume.
    if (!stopped && (reply->error() == QNetworkReply::NoError || decided))
        drain();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (outcome != Outcome::WriteFailed)
        m_error = reply->error() != QNetworkReply::NoError && !stopped
                      ? reply->errorString()
                      : QStringLiteral("HTTP %1").arg(status);
    if (!stopped) {
        if (response == Response::Take && reply->error() == QNetworkReply::NoError)
            outcome = m_expected < 0 || m_held == m_expected ? Outcome::Complete : Outcome::Broken;
        // The disk gets to work on it while the next files arrive.
        if (outcome == Outcome::Complete)
            fsys::startWriteback(m_part);
        else if (status == 416 && resuming)
            outcome = Outcome::StartOver;
        // An answer that is not the file, a refused redirect included, will not change.
        else if (response == Response::Ignore || status >= 300)
            outcome = Outcome::Refused;
        if (outcome == Outcome::StartOver)
            discard();
    }
    reply->deleteLater();
    return outcome;
}
