#include "download/resumabletransfer.h"

#include "download/bytesize.h"
#include "download/filehash.h"
#include "files/filesystem.h"
#include "files/folderguard.h"
#include "manifest/updaterequest.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRegularExpression>

#include <algorithm>

namespace {

constexpr qsizetype ValidatorLimit = 256;
// A body of unknown size stops while this much of the disk is still free.
constexpr qint64 DiskReserve = 16 * 1024 * 1024;

// A header value as the player may read it in a message.
QString shownHeader(const QByteArray &value)
{
    QString text;
    for (const char c : value.left(80))
        text += c >= 0x20 && c < 0x7f ? QLatin1Char(c) : QLatin1Char('?');
    return text;
}

} // namespace

bool isPlainValidator(const QByteArray &value)
{
    return !value.isEmpty() && value.size() <= ValidatorLimit &&
           std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

bool OwnFolders::make(const QString &path)
{
    const QString dir = QFileInfo(path).path();
    if (made.contains(dir))
        return true;
    if (!makeOwnFolder(appDir, dir))
        return false;
    made.insert(dir);
    return true;
}

ResumableTransfer::ResumableTransfer(const UpdateFile &file, const StagingPaths &paths,
                                     PartialCopy earlier, OwnFolders *folders)
    : m_file(file), m_paths(paths), m_earlier(std::move(earlier)), m_folders(folders),
      m_shown(QDir::toNativeSeparators(file.path))
{}

ResumableTransfer::~ResumableTransfer() = default;

Transfer::Step ResumableTransfer::failed(const QString &message)
{
    m_error = message;
    return Step::Failed;
}

bool ResumableTransfer::open()
{
    for (const QString &path : {m_paths.staged, m_paths.partial, m_paths.validator}) {
        if (!m_folders->make(path)) {
            failed(QStringLiteral("Nao foi possivel preparar a pasta de '%1'.").arg(m_shown));
            return false;
        }
    }
    // Whatever stands at the staged name is not the release: it goes before the new copy
    // may take the name.
    if (fsys::entryKind(m_paths.staged) != fsys::EntryKind::Missing)
        removeTree(m_folders->appDir, m_paths.staged);
    for (const QString &path : {m_paths.partial, m_paths.validator}) {
        if (fsys::entryKind(path) == fsys::EntryKind::Folder)
            removeTree(m_folders->appDir, path);
    }
    m_part.setFileName(m_paths.partial);
    QString openError;
    if (!fsys::openOwnFile(&m_part, QIODevice::ReadWrite | QIODevice::Unbuffered, &openError)) {
        failed(QStringLiteral("Nao foi possivel criar '%1': %2")
                   .arg(QDir::toNativeSeparators(m_paths.partial), openError));
        return false;
    }
    m_hash.reset(new Sha256);
    // What the plan hashed is continued only while the copy is still that long.
    if (m_earlier.bytes > 0 && m_earlier.hash && !m_earlier.validator.isEmpty() &&
        m_part.size() == m_earlier.bytes && m_part.seek(m_earlier.bytes)) {
        m_held = m_earlier.bytes;
        m_hash = std::move(m_earlier.hash);
        m_validator = m_earlier.validator;
    } else {
        discard();
    }
    m_earlier = PartialCopy();
    return true;
}

void ResumableTransfer::discard()
{
    m_part.resize(0);
    m_part.seek(0);
    m_hash.reset(new Sha256);
    m_held = 0;
    m_validator.clear();
    QFile::remove(m_paths.validator);
}

Transfer::Step ResumableTransfer::next(const Attempt *last, QNetworkRequest *request)
{
    if (!last && !open())
        return Step::Failed;
    if (last) {
        const Step step = judge(*last);
        if (step != Step::Request)
            return step;
    }
    m_stopped = Stopped::No;
    m_status = 0;
    if (m_file.size >= 0 && m_held == m_file.size)
        return complete();

    *request = makeUpdateRequest(m_file.url);
    // Ranges count the file's own bytes: no compressed form.
    request->setRawHeader("Accept-Encoding", "identity");
    m_resuming = m_held > 0;
    if (m_resuming) {
        request->setRawHeader("Range", "bytes=" + QByteArray::number(m_held) + '-');
        request->setRawHeader("If-Range", m_validator);
    }
    return Step::Request;
}

Transfer::Step ResumableTransfer::judge(const Attempt &last)
{
    const QString asked = QString::number(m_resuming ? m_held : 0);
    switch (m_stopped) {
    case Stopped::Misfit:
        return startOver(QStringLiteral("O servidor nao entregou '%1' a partir do byte %2 como "
                                        "pedido (%3).")
                             .arg(m_shown, asked, m_misfit));
    case Stopped::TooLarge:
        discard();
        return failed(
            QStringLiteral("O arquivo '%1' excede o tamanho informado no manifesto.").arg(m_shown));
    case Stopped::NoRoom: {
        const qint64 room = fsys::freeBytes(m_paths.partial);
        discard();
        return failed(QStringLiteral("Espaco em disco insuficiente para baixar '%1': o servidor "
                                     "nao informou o tamanho e restam %2 livres.")
                          .arg(m_shown, formatByteSize(room)));
    }
    case Stopped::WriteFailed:
        return failed(QStringLiteral("Nao foi possivel gravar '%1': %2").arg(m_shown, m_error));
    case Stopped::No:
        break;
    }
    const QString reason = withoutPassword(last.errorText, m_file.url);
    if (m_status == 200 || m_status == 206) {
        // Ended by the server with every byte its own headers announced: what it sent is all
        // it has, and the size decides.
        if (last.error == QNetworkReply::NoError &&
            (m_answerLength < 0 || m_held - m_answerFrom == m_answerLength)) {
            if (m_file.size < 0 || m_held == m_file.size)
                return complete();
            const qint64 held = m_held;
            discard();
            return failed(
                QStringLiteral("O servidor enviou '%1' com %2, mas o manifesto informa %3.")
                    .arg(m_shown, formatByteSize(held), formatByteSize(m_file.size)));
        }
    } else if (m_status > 0) {
        // Not the file. A client error to a range may be the range's fault: once more whole.
        if (m_resuming && m_status >= 400 && m_status < 500)
            return startOver(QStringLiteral("O servidor nao entregou '%1' a partir do byte %2 "
                                            "como pedido (HTTP %3).")
                                 .arg(m_shown, asked, QString::number(m_status)));
        return failed(QStringLiteral("Falha ao baixar '%1': %2")
                          .arg(m_shown, last.error != QNetworkReply::NoError && !last.stopped
                                            ? reason
                                            : QStringLiteral("HTTP %1").arg(m_status)));
    }
    // A break. Only an attempt that brought bytes earns another.
    const QString broken = last.timedOut
                               ? QStringLiteral("Tempo esgotado ao baixar '%1'.").arg(m_shown)
                               : QStringLiteral("Falha ao baixar '%1': %2").arg(m_shown, reason);
    if (last.received == 0)
        return failed(broken);
    // Without a validator the bytes held may not be followed by another copy's.
    if (m_validator.isEmpty())
        return startOver(broken);
    return Step::Request;
}

Transfer::Step ResumableTransfer::startOver(const QString &message)
{
    discard();
    if (++m_startOvers > 1)
        return failed(message);
    return Step::Request;
}

Transfer::Step ResumableTransfer::complete()
{
    const QByteArray digest = finishHex(m_hash.get());
    if (digest.isEmpty() ||
        QString::fromLatin1(digest).compare(m_file.hash, Qt::CaseInsensitive) != 0) {
        m_part.close();
        QFile::remove(m_paths.partial);
        QFile::remove(m_paths.validator);
        return failed(QStringLiteral("Hash invalido para '%1'. Esperado %2, recebido %3.")
                          .arg(m_shown, m_file.hash, QString::fromLatin1(digest)));
    }
    // The disk gets to work on it while the next files arrive.
    fsys::startWriteback(m_part);
    m_part.close();
    QString renameError;
    if (!fsys::renameEntry(m_paths.partial, m_paths.staged, &renameError))
        return failed(QStringLiteral("Nao foi possivel gravar '%1': %2").arg(m_shown, renameError));
    QFile::remove(m_paths.validator);
    return Step::Done;
}

void ResumableTransfer::keepValidator(const QNetworkReply *reply)
{
    // Weak entity tags cannot guard a range, a modification date can.
    QByteArray validator = reply->rawHeader("ETag");
    if (validator.isEmpty() || validator.startsWith("W/"))
        validator = reply->rawHeader("Last-Modified");
    m_validator = isPlainValidator(validator) ? validator : QByteArray();
    // A plain write: an atomic save would sync every file's validator to disk, and a torn one
    // only makes the server send the whole file again.
    QFile file(m_paths.validator);
    if (m_validator.isEmpty() || !fsys::openOwnFile(&file, QIODevice::WriteOnly) ||
        file.write(m_validator) != m_validator.size()) {
        file.close();
        QFile::remove(m_paths.validator);
    }
}

Transfer::Verdict ResumableTransfer::accept(QNetworkReply *reply)
{
    m_status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_status == 206) {
        static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+|\\*)$"));
        const QByteArray header = reply->rawHeader("Content-Range");
        const auto match = range.match(QString::fromLatin1(header));
        const qint64 total =
            match.captured(3) == QLatin1String("*") ? m_file.size : match.captured(3).toLongLong();
        // Exactly the rest of the file that was asked for, nothing else.
        if (!match.hasMatch() || match.captured(1).toLongLong() != m_held ||
            (m_file.size >= 0 && total != m_file.size) ||
            (total >= 0 && match.captured(2).toLongLong() != total - 1)) {
            m_misfit = QStringLiteral("Content-Range: %1").arg(shownHeader(header));
            m_stopped = Stopped::Misfit;
            return Verdict::Stop;
        }
        if (m_held == 0)
            keepValidator(reply);
        m_announced = total;
        m_answerFrom = m_held;
        m_answerLength = match.captured(2).toLongLong() - m_held + 1;
        return Verdict::Take;
    }
    if (m_status != 200)
        return Verdict::Drop;
    if (m_held > 0) {
        // The whole file to a range: the server's copy changed, or it ignores ranges.
        if (m_startOvers > 0) {
            m_misfit = QStringLiteral("HTTP 200");
            m_stopped = Stopped::Misfit;
            return Verdict::Stop;
        }
        ++m_startOvers;
        discard();
    }
    keepValidator(reply);
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    m_announced = m_answerLength = length.isValid() ? length.toLongLong() : -1;
    m_answerFrom = 0;
    return Verdict::Take;
}

bool ResumableTransfer::take(const char *data, qint64 size)
{
    if (m_file.size >= 0 && m_held + size > m_file.size) {
        m_stopped = Stopped::TooLarge;
        return false;
    }
    if (m_file.size < 0) {
        const qint64 room = fsys::freeBytes(m_paths.partial);
        if (room >= 0 && room - size < DiskReserve) {
            m_stopped = Stopped::NoRoom;
            return false;
        }
    }
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
        m_part.seek(m_held);
        m_stopped = Stopped::WriteFailed;
        return false;
    }
    m_hash->update(data, std::size_t(size));
    m_held += size;
    return true;
}
