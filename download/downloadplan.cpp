#include "download/downloadplan.h"

#include "download/filehash.h"
#include "download/stagedfile.h"
#include "files/eventslices.h"
#include "files/filesystem.h"
#include "files/folderguard.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>

#include <atomic>

namespace {

// A regular file itself (what leads to it is the player's business), whose size and content
// are those of the release.
bool holdsRelease(const QString &path, const UpdateFile &file)
{
    return fsys::entryKind(path) == fsys::EntryKind::File &&
           (file.size < 0 || QFileInfo(path).size() == file.size) &&
           QString::fromLatin1(fileSha256Hex(path)).compare(file.hash, Qt::CaseInsensitive) == 0;
}

// The staging folders are the updater's own: nothing there counts when reached through a link.
bool ownFile(const QString &appDir, const QString &path)
{
    return linkOnPath(appDir, path).isEmpty() && fsys::isSoleFile(path);
}

FilePlan planFile(const QString &appDir, const QString &versionFolder, const UpdateFile &file)
{
    FilePlan plan;
    const QString installed = QDir(appDir).filePath(file.path);
    const StagingPaths paths = stagingPaths(versionFolder, file.path);
    if (holdsRelease(installed, file)) {
        plan.state = FilePlan::State::InPlace;
        plan.onDisk = QFileInfo(installed).size();
        return plan;
    }
    if (linkOnPath(appDir, paths.staged).isEmpty() && holdsRelease(paths.staged, file)) {
        plan.state = FilePlan::State::Staged;
        plan.onDisk = QFileInfo(paths.staged).size();
        return plan;
    }
    // A partial copy is continued only under a plain validator, and one longer than the file
    // is not even read.
    const qint64 size = QFileInfo(paths.partial).size();
    QByteArray validator;
    if (size <= 0 || (file.size >= 0 && size > file.size) || !ownFile(appDir, paths.partial) ||
        !ownFile(appDir, paths.validator) ||
        !fsys::readRegularFile(paths.validator, 256, &validator) ||
        !isPlainValidator(validator.trimmed()))
        return plan;
    auto hash = std::make_unique<Sha256>();
    qint64 hashed = 0;
    if (hashFileInto(paths.partial, hash.get(), &hashed) && hashed == size)
        plan.partial = PartialCopy{size, std::move(hash), validator.trimmed()};
    return plan;
}

} // namespace

std::vector<FilePlan> planDownloads(const QString &appDir, const QString &versionFolder,
                                    const QList<UpdateFile> &files)
{
    std::vector<FilePlan> plans(std::size_t(files.size()));
    std::atomic<qsizetype> next{0};
    const auto work = [&] {
        for (qsizetype i; (i = next++) < files.size();)
            plans[std::size_t(i)] = planFile(appDir, versionFolder, files.at(i));
    };
    runOffThread([&] {
        QThreadPool pool;
        pool.setMaxThreadCount(QThread::idealThreadCount());
        for (int t = 0; t < pool.maxThreadCount(); ++t)
            pool.start(work);
        pool.waitForDone();
    });
    return plans;
}
