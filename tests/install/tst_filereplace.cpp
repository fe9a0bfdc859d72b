#include "update/updatecontroller.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Rows describe files as "relative/path=content"; a missing staged copy is "path=!missing".
const QString kMissing = QStringLiteral("!missing");
const QString kAbsent = QStringLiteral("!absent");

bool writeFile(const QString &path, const QByteArray &content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return kAbsent;
    return QString::fromUtf8(file.readAll());
}

QPair<QString, QString> splitSpec(const QString &spec)
{
    const qsizetype eq = spec.indexOf(QLatin1Char('='));
    return {spec.left(eq), spec.mid(eq + 1)};
}

QString native(const QString &text)
{
    return QDir::toNativeSeparators(text);
}

QStringList leftovers(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String(".bak")) || path.endsWith(QLatin1String(".quorvex-new")))
            found << QDir(root).relativeFilePath(path);
    }
    return found;
}

} // namespace

class FileReplaceTest : public QObject
{
    Q_OBJECT

private slots:
    void appliesEntriesInOrder_data();
    void appliesEntriesInOrder();
    void refusesToOverwriteItself();
    void keepsTheReplacedFilesPermissions();
};

void FileReplaceTest::appliesEntriesInOrder_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QStringList>("folders"); // created non-empty
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("statuses");
    QTest::addColumn<QStringList>("expected");

    const QString copyFailed = QStringLiteral("Falha ao copiar '%1' para o destino final.");

    QTest::newRow("empty list") << QStringList() << QStringList() << QStringList() << true
                                << QString() << 0 << QStringList();
    QTest::newRow("new file in new folders")
        << QStringList() << QStringList() << QStringList{QStringLiteral("tools/new/x.dat=fresh")}
        << true << QString() << 1 << QStringList{QStringLiteral("tools/new/x.dat=fresh")};
    QTest::newRow("existing file") << QStringList{QStringLiteral("name.ext=old")} << QStringList()
                                   << QStringList{QStringLiteral("name.ext=new")} << true
                                   << QString() << 1 << QStringList{QStringLiteral("name.ext=new")};
    QTest::newRow("existing file with a stale backup")
        << QStringList{QStringLiteral("name.ext=old"), QStringLiteral("name.ext.bak=stale")}
        << QStringList() << QStringList{QStringLiteral("name.ext=new")} << true << QString() << 1
        << QStringList{QStringLiteral("name.ext=new")};
    QTest::newRow("backup left by a run killed mid-swap")
        << QStringList{QStringLiteral("name.ext.bak=old"),
                       QStringLiteral("name.ext.quorvex-new=half")}
        << QStringList() << QStringList{QStringLiteral("name.ext=new")} << true << QString() << 1
        << QStringList{QStringLiteral("name.ext=new")};
    QTest::newRow("staged copy missing")
        << QStringList{QStringLiteral("data/maps/a.pak=old")} << QStringList()
        << QStringList{QStringLiteral("data/maps/a.pak=") + kMissing} << false
        << copyFailed.arg(native(QStringLiteral("data/maps/a.pak"))) << 1
        << QStringList{QStringLiteral("data/maps/a.pak=old")};
    QTest::newRow("staged copy missing after a run killed mid-swap")
        << QStringList{QStringLiteral("data/a.pak.bak=old")} << QStringList()
        << QStringList{QStringLiteral("data/a.pak=") + kMissing} << false
        << copyFailed.arg(native(QStringLiteral("data/a.pak"))) << 1
        << QStringList{QStringLiteral("data/a.pak=old")};
    QTest::newRow("new file whose staged copy is missing")
        << QStringList() << QStringList() << QStringList{QStringLiteral("b/new.dat=") + kMissing}
        << false << copyFailed.arg(native(QStringLiteral("b/new.dat"))) << 1
        << QStringList{QStringLiteral("b/new.dat=") + kAbsent};
    // As root no permission bit stops a rename, but a folder under the backup name does.
    QTest::newRow("third of five cannot be moved aside")
        << QStringList{QStringLiteral("d/1.dat=old1"), QStringLiteral("d/2.dat=old2"),
                       QStringLiteral("d/3.dat=old3"), QStringLiteral("d/4.dat=old4")}
        << QStringList{QStringLiteral("d/3.dat.bak")}
        << QStringList{QStringLiteral("d/1.dat=new1"), QStringLiteral("d/2.dat=new2"),
                       QStringLiteral("d/3.dat=new3"), QStringLiteral("d/4.dat=new4"),
                       QStringLiteral("d/5.dat=new5")}
        << false
        << QStringLiteral("Nao foi possivel substituir '%1'. O arquivo provavelmente ainda esta "
                          "em uso.")
               .arg(native(QStringLiteral("d/3.dat")))
        << 3
        << QStringList{QStringLiteral("d/1.dat=new1"), QStringLiteral("d/2.dat=new2"),
                       QStringLiteral("d/3.dat=old3"), QStringLiteral("d/4.dat=old4"),
                       QStringLiteral("d/5.dat=") + kAbsent};
    QTest::newRow("folder blocked by a file")
        << QStringList{QStringLiteral("blocker=plain")} << QStringList()
        << QStringList{QStringLiteral("first.dat=new"), QStringLiteral("blocker/x.dat=new"),
                       QStringLiteral("last.dat=new")}
        << false
        << QStringLiteral("Nao foi possivel criar a pasta de destino para '%1'.")
               .arg(native(QStringLiteral("blocker/x.dat")))
        << 2
        << QStringList{QStringLiteral("first.dat=new"), QStringLiteral("blocker=plain"),
                       QStringLiteral("last.dat=") + kAbsent};
}

void FileReplaceTest::appliesEntriesInOrder()
{
    QFETCH(QStringList, existing);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, entries);
    QFETCH(bool, ok);
    QFETCH(QString, error);
    QFETCH(int, statuses);
    QFETCH(QStringList, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QDir appDir(root.filePath(QStringLiteral("client")));
    const QDir stageDir(root.filePath(QStringLiteral("staging")));
    QVERIFY(QDir().mkpath(appDir.path()));

    for (const QString &spec : existing)
        QVERIFY(writeFile(appDir.filePath(splitSpec(spec).first), splitSpec(spec).second.toUtf8()));
    for (const QString &folder : folders)
        QVERIFY(writeFile(appDir.filePath(folder + QStringLiteral("/keep")), "x"));

    QList<StagedFile> staged;
    for (const QString &spec : entries) {
        const auto [path, content] = splitSpec(spec);
        StagedFile entry;
        entry.file.path = path;
        entry.stagedPath = stageDir.filePath(path);
        if (content != kMissing)
            QVERIFY(writeFile(entry.stagedPath, content.toUtf8()));
        staged << entry;
    }

    LaunchOptions options;
    options.appDir = appDir.path();
    UpdateController controller(options);
    QSignalSpy status(&controller, &UpdateController::statusChanged);

    QString actualError;
    QCOMPARE(controller.applyStagedFiles(staged, &actualError), ok);
    QCOMPARE(actualError, error);

    QCOMPARE(status.count(), statuses);
    for (int i = 0; i < statuses; ++i) {
        QCOMPARE(status.at(i).at(0).toString(), QStringLiteral("Aplicando arquivo"));
        QCOMPARE(status.at(i).at(1).toString(),
                 QStringLiteral("Substituindo ") + native(staged.at(i).file.path));
    }
    for (const QString &spec : expected)
        QCOMPARE(readFile(appDir.filePath(splitSpec(spec).first)), splitSpec(spec).second);
    QCOMPARE(leftovers(appDir.path()), QStringList());
    // Staged copies are copied, never moved.
    for (qsizetype i = 0; i < staged.size(); ++i)
        QCOMPARE(QFileInfo::exists(staged.at(i).stagedPath), !entries.at(i).endsWith(kMissing));
}

void FileReplaceTest::keepsTheReplacedFilesPermissions()
{
    // A downloaded copy has default permissions; the client must stay executable.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString target = root.filePath(QStringLiteral("client/QuorvexEmulator"));
    const QString stagedPath = root.filePath(QStringLiteral("staging/QuorvexEmulator"));
    QVERIFY(writeFile(target, "old"));
    QVERIFY(writeFile(stagedPath, "new"));
    const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                          QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    QVERIFY(QFile::setPermissions(target, executable));

    LaunchOptions options;
    options.appDir = root.filePath(QStringLiteral("client"));
    UpdateController controller(options);
    StagedFile entry;
    entry.file.path = QStringLiteral("QuorvexEmulator");
    entry.stagedPath = stagedPath;
    QVERIFY(controller.applyStagedFiles({entry}, nullptr));
    QCOMPARE(readFile(target), QStringLiteral("new"));
    QCOMPARE(QFile::permissions(target) & executable, executable);
}

void FileReplaceTest::refusesToOverwriteItself()
{
    // The client folder is the one holding this test program, whose own path
    // is what the updater must never overwrite.
    const QString ownDir = QCoreApplication::applicationDirPath();
    QTemporaryDir scratch(QDir(ownDir).filePath(QStringLiteral("selfupdate-XXXXXX")));
    QVERIFY(scratch.isValid());
    const QString scratchName = QFileInfo(scratch.path()).fileName();
    const QString ownName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString mangledName = ownName.toUpper();
    const QString laterName = scratchName + QStringLiteral("/later.dat");

    QList<StagedFile> staged;
    for (const QString &path :
         {scratchName + QStringLiteral("/earlier.dat"), mangledName, laterName}) {
        StagedFile entry;
        entry.file.path = path;
        entry.stagedPath =
            scratch.filePath(QStringLiteral("staged-") + QString::number(staged.size()));
        QVERIFY(writeFile(entry.stagedPath, "new"));
        staged << entry;
    }

    LaunchOptions options;
    options.appDir = ownDir;
    UpdateController controller(options);
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QString error;
    const bool ok = controller.applyStagedFiles(staged, &error);
    // Should the refusal ever break on a case-sensitive system, do not leave the copy behind.
    if (mangledName != ownName)
        QFile::remove(QDir(ownDir).filePath(mangledName));

    QVERIFY(!ok);
    QCOMPARE(error,
             QStringLiteral("Esta versao do updater ainda nao consegue atualizar a si mesma."));
    QCOMPARE(status.count(), 2);
    QCOMPARE(status.at(1).at(1).toString(), QStringLiteral("Substituindo ") + native(mangledName));
    QCOMPARE(readFile(scratch.filePath(QStringLiteral("earlier.dat"))), QStringLiteral("new"));
    QVERIFY(!QFileInfo::exists(QDir(ownDir).filePath(laterName)));
}

QTEST_GUILESS_MAIN(FileReplaceTest)
#include "tst_filereplace.moc"
