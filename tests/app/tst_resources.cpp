#include "tests/support/testsupport.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <utility>

namespace {

const QString resourcesDir = QStringLiteral(QUORVEX_RESOURCES_DIR);
const QList<int> iconSizes = {16, 24, 32, 48, 64, 256};

// One entry of a compiled .res file; a numeric type or name has an empty text.
struct ResourceEntry
{
    quint16 typeId = 0;
    quint16 nameId = 0;
    QString name;
    QByteArray data;
};

bool readIdOrName(const QByteArray &res, qsizetype &at, quint16 *id, QString *name)
{
    const auto word = [&](qsizetype i) {
        return qFromLittleEndian<quint16>(res.constData() + i);
    };
    if (at + 4 > res.size())
        return false;
    if (word(at) == 0xffff) {
        *id = word(at + 2);
        at += 4;
        return true;
    }
    for (; at + 2 <= res.size(); at += 2) {
        const quint16 unit = word(at);
        if (unit == 0) {
            at += 2;
            return true;
        }
        name->append(QChar(unit));
    }
    return false;
}

bool parseRes(const QByteArray &res, QList<ResourceEntry> *entries)
{
    qsizetype at = 0;
    while (at + 8 <= res.size()) {
        const quint32 dataSize = qFromLittleEndian<quint32>(res.constData() + at);
        const quint32 headerSize = qFromLittleEndian<quint32>(res.constData() + at + 4);
        if (headerSize < 8 || at + qsizetype(headerSize) + qsizetype(dataSize) > res.size())
            return false;
        ResourceEntry entry;
        qsizetype field = at + 8;
        QString typeName;
        if (!readIdOrName(res, field, &entry.typeId, &typeName) ||
            !readIdOrName(res, field, &entry.nameId, &entry.name))
            return false;
        entry.data = res.mid(at + headerSize, dataSize);
        entries->append(entry);
        at += headerSize + ((dataSize + 3) & ~quint32(3));
    }
    return at == res.size();
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void iconImage_data();
    void iconImage();
    void windowsResources();
};

void TestResources::iconImage_data()
{
    QTest::addColumn<int>("size");
    for (int size : iconSizes)
        QTest::addRow("%d px", size) << size;
}

void TestResources::iconImage()
{
    QFETCH(int, size);
    QImageReader reader(QDir(resourcesDir).filePath(QStringLiteral("quorvex_icon.ico")));
    QImage found;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        if (image.width() == size)
            found = image;
    }
    QVERIFY2(!found.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(found.height(), size);
    // Rounded corners are see-through; the middle is drawn.
    QCOMPARE(qAlpha(found.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(found.pixel(size / 2, size / 2)), 255);
}

void TestResources::windowsResources()
{
    const QString windres =
        QStandardPaths::findExecutable(QStringLiteral("x86_64-w64-mingw32-windres"));
    QUORVEX_REQUIRE_TOOL(!windres.isEmpty(), QStringLiteral("x86_64-w64-mingw32-windres"));

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString object = work.filePath(QStringLiteral("quorvex_rc.o"));
    const QString res = work.filePath(QStringLiteral("quorvex.res"));
    const auto run = [&](const QStringList &arguments) {
        QProcess tool;
        tool.setWorkingDirectory(work.path()); // the script must find its files by itself
        tool.start(windres, arguments);
        const bool ok = tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit &&
                        tool.exitCode() == 0;
        if (!ok)
            qWarning().noquote() << tool.readAllStandardError();
        return ok;
    };
    QVERIFY(run({QStringLiteral("-O"), QStringLiteral("coff"), QStringLiteral("-i"),
                 QDir(resourcesDir).filePath(QStringLiteral("quorvex.rc")), QStringLiteral("-o"),
                 object}));
    // Read back what the linker would get from the object file.
    QVERIFY(run({QStringLiteral("-J"), QStringLiteral("coff"), QStringLiteral("-O"),
                 QStringLiteral("res"), QStringLiteral("-i"), object, QStringLiteral("-o"), res}));

    QFile file(res);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<ResourceEntry> entries;
    QVERIFY(parseRes(file.readAll(), &entries));

    const ResourceEntry *group = nullptr;
    const ResourceEntry *manifest = nullptr;
    QHash<quint16, QByteArray> images;
    for (const ResourceEntry &entry : std::as_const(entries)) {
        if (entry.typeId == 14 && entry.name == QStringLiteral("IDI_APP_ICON"))
            group = &entry;
        else if (entry.typeId == 24 && entry.name.isEmpty() && entry.nameId == 1)
            manifest = &entry;
        else if (entry.typeId == 3)
            images.insert(entry.nameId, entry.data);
    }
    QVERIFY(group);
    QVERIFY(manifest);

    const char *dir = group->data.constData();
    QVERIFY(group->data.size() >= 6);
    QCOMPARE(qFromLittleEndian<quint16>(dir + 2), quint16(1));
    const int count = qFromLittleEndian<quint16>(dir + 4);
    QCOMPARE(group->data.size(), 6 + 14 * count);
    QList<int> sizes;
    for (int i = 0; i < count; ++i) {
        const char *item = dir + 6 + 14 * i;
        const int width = quint8(item[0]) == 0 ? 256 : quint8(item[0]);
        sizes << width;
        const QByteArray image = images.value(qFromLittleEndian<quint16>(item + 12));
        QCOMPARE(quint32(image.size()), qFromLittleEndian<quint32>(item + 8));
        QVERIFY(image.startsWith("\x89PNG"));
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, iconSizes);

    QVERIFY(manifest->data.contains("requestedExecutionLevel level=\"asInvoker\""));
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
