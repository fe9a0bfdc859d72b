#include "download/chunkedtransfer.h"

#include "download/chunkbuilder.h"
#include "download/filehash.h"
#include "download/sha256.h"
#include "files/eventslices.h"
#include "files/filesystem.h"
#include "files/folderguard.h"
#include "manifest/updaterequest.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRegularExpression>

namespace {

// Ranges of one file in flight at once, at most.
constexpr int RangeWorkers = 3;

} // namespace

RangeTransfer::RangeTransfer(ChunkedFile *file, int worker, OwnFolders *folders)
    : m_file(file), m_worker(worker), m_folders(folders)
{}

RangeTransfer::~RangeTransfer() = default;

Transfer::Step RangeTransfer::failed(const QString &message)
{
    m_error = message;
    return Step::Failed;
}

Transfer::Step RangeTransfer::next(const Attempt *last, QNetworkRequest *request)
{
    if (m_whole) {
        if (m_wholeFailed)
            return Step::Failed;
        return m_whole->next(last, request);
    }
    if (m_file->state() == ChunkedFile::State::Failed)
        return failed(m_file->error());
    if (m_file->state() == ChunkedFile::State::Abandoned) {
        if (m_worker == 0 && m_file->wantsWhole())
            return wholeInstead(request);
        m_held = 0; // another transfer fetches the file whole
        return Step::Done;
    }
    m_file->start();
    if (m_range >= 0 && m_delivered) {
        // Held until written, which keeps memory at the ranges in flight.
        if (!m_file->written(m_range))
            return Step::Wait;
        m_range = -1;
    }
    if (m_range < 0) {
        if (m_file->probing() && !m_file->rangesServed())
            return Step::Wait;
        m_range = m_file->takeRange();
        if (m_range < 0) {
            if (m_worker == 0)
                return m_file->state() == ChunkedFile::State::Complete ? Step::Done : Step::Wait;
            return m_file->rangesKnown() ? Step::Done : Step::Wait;
        }
        const ChunkPiece &piece = m_file->range(m_range);
        m_begin = piece.offset;
        m_end = piece.offset + piece.length;
        m_bytes = QByteArray();
        m_delivered = false;
        m_misfit = false;
        if (!m_file->rangesServed())
            m_file->probe();
        return ask(request);
    }
    if (last) {
        const QString shown = QDir::toNativeSeparators(m_file->file().path);
        // Anything but the range asked for: the server is not fit for ranges of this file.
        if (m_misfit || (m_status != 0 && m_status != 206))
            return wholeInstead(request);
        if (m_bytes.size() == m_end - m_begin) {
            m_file->deliver(m_range, std::move(m_bytes));
            m_bytes = QByteArray();
            m_delivered = true;
            return Step::Wait;
        }
        // A break: only an attempt that brought bytes earns another.
        if (last->received == 0)
            return failed(
                last->timedOut
                    ? QStringLiteral("Tempo esgotado ao baixar '%1'.").arg(shown)
                    : QStringLiteral("Falha ao baixar '%1': %2")
                          .arg(shown, withoutPassword(last->errorText, m_file->file().url)));
    }
    return ask(request);
}

Transfer::Step RangeTransfer::ask(QNetworkRequest *request)
{
    m_status = 0;
    *request = makeUpdateRequest(m_file->file().url);
    request->setRawHeader("Accept-Encoding", "identity");
    request->setRawHeader("Range", "bytes=" + QByteArray::number(m_begin + m_bytes.size()) + '-' +
                                       QByteArray::number(m_end - 1));
    return Step::Request;
}

Transfer::Step RangeTransfer::wholeInstead(QNetworkRequest *request)
{
    m_file->abandon();
    m_whole = std::make_unique<ResumableTransfer>(m_file->file(), m_file->paths(), PartialCopy(),
                                                  m_folders);
    return m_whole->next(nullptr, request);
}

Transfer::Verdict RangeTransfer::accept(QNetworkReply *reply)
{
    if (m_whole)
        return m_whole->accept(reply);
    if (m_file->state() != ChunkedFile::State::Building)
        return Verdict::Stop;
    m_status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_status == 206) {
        static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+|\\*)$"));
        const auto match = range.match(QString::fromLatin1(reply->rawHeader("Content-Range")));
        m_misfit = !match.hasMatch() ||
                   match.captured(1).toLongLong() != m_begin + m_bytes.size() ||
                   match.captured(2).toLongLong() != m_end - 1 ||
                   (match.captured(3) != QLatin1String("*") &&
                    match.captured(3).toLongLong() != m_file->file().size);
        if (m_misfit)
            return Verdict::Stop;
        m_file->served();
        m_bytes.reserve(qsizetype(m_end - m_begin));
        return Verdict::Take;
    }
    if (m_status != 200)
        return Verdict::Drop;
    // The whole file to a range: this very answer is taken as the whole file.
    QNetworkRequest unused;
    if (wholeInstead(&unused) != Step::Request) {
        m_wholeFailed = true;
        return Verdict::Stop;
    }
    return m_whole->accept(reply);
}

bool RangeTransfer::take(const char *data, qint64 size)
{
    if (m_whole)
        return m_whole->take(data, size);
    if (m_file->state() != ChunkedFile::State::Building)
        return false;
    if (m_bytes.size() + size > m_end - m_begin) {
        m_misfit = true;
        return false;
    }
    m_bytes.append(data, qsizetype(size));
    m_held += size;
    return true;
}

qint64 RangeTransfer::held() const
{
    return m_whole ? m_whole->held() : m_held;
}

qint64 RangeTransfer::length() const
{
    // How many ranges this transfer ends up fetching is not known before the file is built.
    return m_whole ? m_whole->length() : -1;
}

QString RangeTransfer::error() const
{
    return m_whole ? m_whole->error() : m_error;
}

ChunkedFiles::ChunkedFiles(TransferScheduler *scheduler, OwnFolders *folders,
                           QNetworkAccessManager *manager, int timeoutMs, QObject *parent)
    : QObject(parent), m_scheduler(scheduler), m_folders(folders), m_manager(manager),
      m_timeoutMs(timeoutMs)
{}

ChunkedFiles::~ChunkedFiles() = default;

bool ChunkedFiles::candidate(const UpdateFile &file, const QString &installed)
{
    // An installed copy too small to spare a tenth of the file is not worth its index.
    return file.chunks.size > 0 && file.size > 0 &&
           fsys::entryKind(installed) == fsys::EntryKind::File &&
           QFileInfo(installed).size() * 10 > file.size;
}

bool ChunkedFiles::prepare(int index, const UpdateFile &file, const QString &installed,
                           const StagingPaths &paths)
{
    // The index: exactly the bytes the manifest pins, or the file goes whole.
    const SmallFetch fetched =
        fetchSmall(m_manager, file.chunks.url, m_timeoutMs, file.chunks.size);
    Sha256 hash;
    hash.update(fetched.body.constData(), std::size_t(fetched.body.size()));
    ChunkIndex chunks;
    if (!fetched.ok || fetched.body.size() != file.chunks.size ||
        QString::fromLatin1(finishHex(&hash)) != file.chunks.hash ||
        !parseChunkIndex(fetched.body, &chunks) || chunks.rule != ChunkRule::standard() ||
        !chunks.describes(file.size, file.hash))
        return false;

    if (!m_folders->make(paths.staged) || !m_folders->make(paths.partial))
        return false;
    if (fsys::entryKind(paths.partial) == fsys::EntryKind::Folder)
        removeTree(m_folders->appDir, paths.partial);
    auto builder =
        std::make_unique<ChunkedFileBuilder>(chunks, installed, paths.partial, file.path);
    bool opened = false;
    runOffThread([&] { opened = builder->open(); });
    if (!opened)
        return false;

    auto chunked = std::make_unique<ChunkedFile>(file, paths, m_folders->appDir, installed,
                                                 std::move(builder));
    connect(chunked.get(), &ChunkedFile::copied, this, &ChunkedFiles::copied);
    const auto wakeAll = [this, index] {
        for (int item = m_first[std::size_t(index)]; item < m_first[std::size_t(index) + 1]; ++item)
            m_scheduler->wake(item);
    };
    connect(chunked.get(), &ChunkedFile::rangeWritten, this, wakeAll);
    connect(chunked.get(), &ChunkedFile::settled, this, wakeAll);
    m_files[index] = std::move(chunked);
    return true;
}

void ChunkedFiles::layout(int files)
{
    m_fileOf.clear();
    m_first.clear();
    for (int index = 0; index < files; ++index) {
        m_first.push_back(int(m_fileOf.size()));
        const int items = m_files.count(index) ? RangeWorkers : 1;
        m_fileOf.insert(m_fileOf.end(), std::size_t(items), index);
    }
    m_first.push_back(int(m_fileOf.size()));
}

qint64 ChunkedFiles::kept(int index) const
{
    const auto chunked = m_files.find(index);
    return chunked == m_files.end() ? 0 : chunked->second->kept();
}

std::unique_ptr<Transfer>
ChunkedFiles::make(int item, const std::function<std::unique_ptr<Transfer>(int)> &whole)
{
    const int index = fileOf(item);
    const auto found = m_files.find(index);
    if (found == m_files.end())
        return whole(index);
    ChunkedFile *file = found->second.get();
    // Fetched whole by an earlier transfer of the file.
    if (file->state() == ChunkedFile::State::Abandoned && !file->wantsWhole())
        return nullptr;
    return std::make_unique<RangeTransfer>(file, item - m_first[std::size_t(index)], m_folders);
}
