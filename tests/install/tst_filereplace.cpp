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

// Rows describe files as "relative/path=content", apart by spaces. A staged copy
// "!missing" is not there; "!absent" expects no file.
QStringList files(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QPair<QString, QString> split(const QString &spec)
{
    return {spec.section(QLatin1Char('='), 0, 0), spec.section(QLatin1Char('='), 1)};
}

bool writeFile(const QString &path, const QString &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(content.toUtf8()) == content.toUtf8().size();
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll())
                                          : QStringLiteral("!absent");
}

const QFile::Permissions Executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                      QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;

} // namespace

class FileReplaceTest : public QObject
{
    Q_OBJECT

private slots:
    void appliesEntriesInOrder_data();
    void appliesEntriesInOrder();
    void refusesToOverwriteItself();
};

void FileReplaceTest::appliesEntriesInOrder_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("error"); // empty: success
    QTest::addColumn<int>("statuses");
    QTest::addColumn<QStringList>("expected");

    const QString copyFailed = QStringLiteral("Falha ao copiar '%1' para o destino final.");
    QTest::newRow("new file in new folders, and one with a leftover backup")
        << files("a.ext=old a.ext.bak=stale") << files("tools/new/x.dat=fresh a.ext=new")
        << QString() << 2 << files("tools/new/x.dat=fresh a.ext=new a.ext.bak=!absent");
    QTest::newRow("backup left by a run killed mid-swap")
        << files("a.ext.bak=old a.ext.quorvex-new=half") << files("a.ext=new") << QString() << 1
        << files("a.ext=new a.ext.bak=!absent a.ext.quorvex-new=!absent");
    QTest::newRow("staged copy missing after a run killed mid-swap restores the old file")
        << files("data/a.pak.bak=old") << files("data/a.pak=!missing")
        << copyFailed.arg(QDir::toNativeSeparators(QStringLiteral("data/a.pak"))) << 1
        << files("data/a.pak=old data/a.pak.bak=!absent data/a.pak.quorvex-new=!absent");
    // As root no permission bit stops a rename, but a folder under the backup name does.
    QTest::newRow("third of four cannot be moved aside")
        << files("d/1=old1 d/2=old2 d/3=old3 d/3.bak/keep=x")
        << files("d/1=new1 d/2=new2 d/3=new3 d/4=new4")
        << QStringLiteral("Nao foi possivel substituir '%1'. O arquivo provavelmente ainda esta "
                          "em uso.")
               .arg(QDir::toNativeSeparators(QStringLiteral("d/3")))
        << 3 << files("d/1=new1 d/2=new2 d/3=old3 d/3.quorvex-new=!absent d/4=!absent");
    QTest::newRow("folder blocked by a file")
        << files("blocker=plain") << files("first=new blocker/x=new last=new")
        << QStringLiteral("Nao foi possivel criar a pasta de destino para '%1'.")
               .arg(QDir::toNativeSeparators(QStringLiteral("blocker/x")))
        << 2 << files("first=new blocker=plain last=!absent");
}

void FileReplaceTest::appliesEntriesInOrder()
{
    QFETCH(QStringList, existing);
    QFETCH(QStringList, entries);
    QFETCH(QString, error);
    QFETCH(int, statuses);
    QFETCH(QStringList, expected);

    QTemporaryDir root;
    const QDir appDir(root.filePath(QStringLiteral("client")));
    QVERIFY(QDir().mkpath(appDir.path()));
    // Downloads carry default permissions; a replaced client must stay executable.
    QStringList existingNames;
    for (const QString &spec : existing) {
        existingNames << split(spec).first;
        QVERIFY(writeFile(appDir.filePath(existingNames.last()), split(spec).second));
        QVERIFY(QFile::setPermissions(appDir.filePath(existingNames.last()), Executable));
    }
    QList<StagedFile> staged;
    for (const QString &spec : entries) {
        StagedFile entry;
        entry.file.path = split(spec).first;
        entry.stagedPath = root.filePath(QStringLiteral("staging/") + entry.file.path);
        if (split(spec).second != QLatin1String("!missing"))
            QVERIFY(writeFile(entry.stagedPath, split(spec).second));
        staged << entry;
    }

    LaunchOptions options;
    options.appDir = appDir.path();
    UpdateController controller(options);
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QString actualError;
    QCOMPARE(controller.applyStagedFiles(staged, &actualError), error.isEmpty());
    QCOMPARE(actualError, error);

    QCOMPARE(status.count(), statuses);
    for (int i = 0; i < statuses; ++i) {
        QCOMPARE(status.at(i).at(0).toString(), QStringLiteral("Aplicando arquivo"));
        QCOMPARE(status.at(i).at(1).toString(),
                 QStringLiteral("Substituindo ") +
                     QDir::toNativeSeparators(staged.at(i).file.path));
    }
    for (const QString &spec : expected) {
        const QString path = appDir.filePath(split(spec).first);
        QCOMPARE(readFile(path), split(spec).second);
        if (existingNames.contains(split(spec).first) && QFileInfo::exists(path))
            QCOMPARE(QFile::permissions(path) & Executable, Executable);
    }
    // Staged copies are copied, never moved.
    for (const StagedFile &entry : staged)
        QCOMPARE(readFile(entry.stagedPath) == QLatin1String("!absent"),
                 entries.contains(entry.file.path + QStringLiteral("=!missing")));
}

void FileReplaceTest::refusesToOverwriteItself()
{
    // The client folder is the one holding this test program, whose own path, here in
    // other letter case, the updater must never overwrite.
    const QString ownDir = QCoreApplication::applicationDirPath();
    QTemporaryDir scratch(QDir(ownDir).filePath(QStringLiteral("selfupdate-XXXXXX")));
    const QString scratchName = QFileInfo(scratch.path()).fileName();
    const QString ownName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString mangledName = ownName.toUpper();
    QList<StagedFile> staged;
    for (const QString &path : {scratchName + QStringLiteral("/earlier.dat"), mangledName,
                                scratchName + QStringLiteral("/later.dat")}) {
        StagedFile entry;
        entry.file.path = path;
        entry.stagedPath = scratch.filePath(QStringLiteral("staged-%1").arg(staged.size()));
        QVERIFY(writeFile(entry.stagedPath, QStringLiteral("new")));
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
    QCOMPARE(readFile(scratch.filePath(QStringLiteral("earlier.dat"))), QStringLiteral("new"));
    QVERIFY(!QFileInfo::exists(scratch.filePath(QStringLiteral("later.dat"))));
}

QTEST_GUILESS_MAIN(FileReplaceTest)
#include "tst_filereplace.moc"
