#pragma once

// Files of a release fetched by chunks: for a file whose installed copy differs and whose
// manifest entry names a chunk index, the index is fetched and checked, the installed copy cut
// into chunks, and what it lacks fetched as ranges of the release file. Each range is a
// transfer of its own in the scheduler, so the ranges of one file are in flight side by side
// like files; a range holds its slot until its bytes are written, which keeps memory at the
// ranges in flight. Anything that does not fit (no usable index, a server that ignores ranges
// or answers another range) leaves the file to one whole transfer.
//
//     ChunkedFiles chunked(&scheduler, &folders, manager, timeoutMs);
//     for every file to fetch: if (ChunkedFiles::candidate(...)) chunked.prepare(...);
//     chunked.layout(fileCount);
//     scheduler.run(chunked.count(), [&](int item) { return chunked.make(item, whole); });

#include "download/chunkedfile.h"
#include "download/resumabletransfer.h"
#include "download/transferscheduler.h"

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QNetworkAccessManager;

// One of the transfers of a chunked file: it fetches the file's ranges one after the other as
// they become known, each taken by the first transfer free. The first of them (worker 0) is
// done only once the file is complete, and fetches the file whole when ranges do not pay.
class RangeTransfer : public Transfer
{
public:
    RangeTransfer(ChunkedFile *file, int worker, OwnFolders *folders);
    ~RangeTransfer() override;

    Step next(const Attempt *last, QNetworkRequest *request) override;
    Verdict accept(QNetworkReply *reply) override;
    bool take(const char *data, qint64 size) override;
    qint64 held() const override;
    qint64 length() const override;
    QString error() const override;

private:
    Step ask(QNetworkRequest *request);
    Step wholeInstead(QNetworkRequest *request);
    Step failed(const QString &message);

    ChunkedFile *m_file;
    int m_worker;
    int m_range = -1; // the range fetched now
    OwnFolders *m_folders;
    qint64 m_begin = 0;
    qint64 m_end = 0;
    QByteArray m_bytes;
    qint64 m_held = 0; // bytes of every range this transfer fetched
    bool m_delivered = false;
    int m_status = 0;
    bool m_misfit = false; // the answer is not the range asked for
    QString m_error;
    // Once the server proves unfit for ranges: the whole file, fetched by this transfer.
    std::unique_ptr<ResumableTransfer> m_whole;
    bool m_wholeFailed = false;
};

class ChunkedFiles : public QObject
{
    Q_OBJECT

public:
    ChunkedFiles(TransferScheduler *scheduler, OwnFolders *folders, QNetworkAccessManager *manager,
                 int timeoutMs, QObject *parent = nullptr);
    ~ChunkedFiles() override;

    // Worth a try: a chunk index, a known size and an installed copy that is a regular file.
    static bool candidate(const UpdateFile &file, const QString &installed);
    // Fetches the file's index and checks it and opens the partial copy, the long part off the
    // GUI thread; the installed copy is cut once the file's turn comes. False leaves the file
    // to a whole transfer.
    bool prepare(int index, const UpdateFile &file, const QString &installed,
                 const StagingPaths &paths);
    // Once every file is prepared: file i is fetched by transfers [first(i), first(i + 1)).
    void layout(int files);

    int count() const { return int(m_fileOf.size()); }
    int fileOf(int item) const { return m_fileOf[std::size_t(item)]; }
    bool opens(int item) const { return item == 0 || fileOf(item - 1) != fileOf(item); }
    // Bytes of file index its partial copy already held.
    qint64 kept(int index) const;
    // The transfer for item; whole(index) for the files fetched whole. Null: nothing to fetch.
    std::unique_ptr<Transfer> make(int item,
                                   const std::function<std::unique_ptr<Transfer>(int)> &whole);

signals:
    void copied(qint64 bytes);

private:
    TransferScheduler *m_scheduler;
    OwnFolders *m_folders;
    QNetworkAccessManager *m_manager;
    int m_timeoutMs;
    std::map<int, std::unique_ptr<ChunkedFile>> m_files;
    std::vector<int> m_fileOf;
    std::vector<int> m_first;
};
