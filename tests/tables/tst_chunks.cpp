// Content-defined chunks: the boundary rule under edits, the index parser's refusals, the
// plan's joining of ranges, and a new file built from an old one and fetched bytes.
#include "download/chunkbuilder.h"
#include "download/chunkscan.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

QByteArray noise(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Where each chunk starts, the data fed in blocks of the given size.
QList<qint64> starts(const QByteArray &data, qsizetype block = 1 << 20)
{
    Chunker chunker;
    QList<qint64> found{0};
    for (qsizetype at = 0; at < data.size();) {
        bool cut = false;
        at +=
            qsizetype(chunker.next(reinterpret_cast<const std::uint8_t *>(data.constData()) + at,
                                   std::size_t(qMin(block - at % block, data.size() - at)), &cut));
        if (cut && at < data.size())
            found.append(at);
    }
    return found;
}

} // namespace

class TestChunks : public QObject
{
    Q_OBJECT

private slots:
    void boundaries_data();
    void boundaries();
    void refusals_data();
    void refusals();
    void plan_data();
    void plan();
    void build();
};

void TestChunks::boundaries_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("at"); // the edit: bytes [at, at + removed) become inserted
    QTest::addColumn<qint64>("removed");
    QTest::addColumn<QByteArray>("inserted");
    const QByteArray random = noise(3 << 20, 7);
    QTest::newRow("insertion") << random << qint64(300000) << qint64(0) << QByteArray(100, 'x');
    QTest::newRow("deletion") << random << qint64(1000000) << qint64(5000) << QByteArray();
    QTest::newRow("overwrite") << random << qint64(2000000) << qint64(1 << 18) << noise(1 << 18, 9);
    // No boundary in the content: the maximum cuts.
    QTest::newRow("zeros") << QByteArray(3 << 20, '\0') << qint64(0) << qint64(0) << QByteArray();
    QTest::newRow("pattern") << QByteArray("quorvex ").repeated(400000) << qint64(0) << qint64(0)
                             << QByteArray();
}

void TestChunks::boundaries()
{
    QFETCH(QByteArray, data);
    QFETCH(qint64, at);
    QFETCH(qint64, removed);
    QFETCH(QByteArray, inserted);
    const QList<qint64> before = starts(data);
    QCOMPARE(starts(data, 1), before); // the same whatever the blocks
    const ChunkRule rule;
    for (qsizetype i = 1; i < before.size(); ++i)
        QVERIFY(before[i] - before[i - 1] >= rule.minSize &&
                before[i] - before[i - 1] <= rule.maxSize);
    QVERIFY(data.size() - before.constLast() <= rule.maxSize);

    // Past the edit and one chunk more, every boundary is found again, moved by the edit.
    const QList<qint64> after = starts(QByteArray(data).replace(at, removed, inserted));
    const qint64 shift = inserted.size() - removed;
    for (const qint64 start : before) {
        if (start > at + removed + rule.maxSize)
            QVERIFY2(after.contains(start + shift), qPrintable(QString::number(start)));
    }
    if (qstrcmp(QTest::currentDataTag(), "insertion") == 0) // the same on every platform
        QCOMPARE(before.mid(1, 3), (QList<qint64>{77387, 164368, 221363}));
}

void TestChunks::refusals_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("valid");
    ChunkIndex index;
    index.fileSize = 2 * 16384 + 5;
    index.fileSha256 = QByteArray(32, 'f');
    for (const qint64 length : {16384, 16384, 5})
        index.chunks.append({0, length, QByteArray(32, 'c')});
    const QByteArray good = chunkIndexDocument(index);
    // Size at 24, count at 64, chunk i's length at 68 + 36 i.
    const auto with = [](QByteArray bytes, int at, quint32 value) {
        qToLittleEndian(value, bytes.data() + at);
        return bytes;
    };
    QTest::newRow("valid") << good << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("magic") << QByteArray(good).replace(0, 1, "X") << false;
    QTest::newRow("trailing byte") << good + '\0' << false;
    QTest::newRow("record missing") << good.chopped(36) << false;
    QTest::newRow("huge count") << with(good, 64, 0xffffffff) << false;
    QTest::newRow("lengths short of size") << with(good, 24, 2 * 16384 + 6) << false;
    QTest::newRow("below minimum") << with(with(good, 68, 16383), 104, 16385) << false;
    QTest::newRow("above maximum") << with(with(good, 68, 262145), 24, 262145 + 16384 + 5) << false;
    QTest::newRow("rule backwards") << with(good, 12, 70000) << false;
}

void TestChunks::refusals()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, valid);
    ChunkIndex parsed;
    QCOMPARE(parseChunkIndex(document, &parsed), valid);
    if (valid)
        QCOMPARE(chunkIndexDocument(parsed), document);
}

// One letter per chunk of 64 KiB: h held by the old file in order, m missing, r held elsewhere.
void TestChunks::plan_data()
{
    QTest::addColumn<QString>("chunks");
    QTest::addColumn<QString>("pieces"); // kind, first chunk and count
    const auto row = [](const char *tag, const QString &chunks, const char *pieces) {
        QTest::newRow(tag) << chunks << QString::fromLatin1(pieces);
    };
    row("all held", QStringLiteral("hhhh"), "C0+4");
    row("neighbours joined", QStringLiteral("hmmmh"), "C0+1 F1+3 C4+1");
    row("gap paid by the run before", QStringLiteral("mmhhm"), "F0+5");
    row("gap above the run before", QStringLiteral("mhhm"), "F0+1 C1+2 F3+1");
    row("gap above the maximum", QStringLiteral("mmmhhhm"), "F0+3 C3+3 F6+1");
    row("gaps paid by runs", QStringLiteral("mhmhmhm"), "F0+7");
    row("held elsewhere", QStringLiteral("hrhh"), "C0+1 C1+1 C2+2");
    row("range bounded", QString(70, QLatin1Char('m')), "F0+64 F64+6");
}

void TestChunks::plan()
{
    QFETCH(QString, chunks);
    QFETCH(QString, pieces);
    ChunkIndex index;
    OldChunks old;
    qint64 missing = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        const QByteArray hash = QByteArray::number(i).leftJustified(32, '.');
        index.chunks.append({qint64(i) << 16, 1 << 16, hash});
        if (chunks[i] != QLatin1Char('m'))
            old.insert(hash,
                       {(qint64(i) << 16) + (chunks[i] == QLatin1Char('r') ? 7 : 0), 1 << 16});
        missing += chunks[i] == QLatin1Char('m') ? 1 << 16 : 0;
    }
    const QList<ChunkPiece> plan = planChunkedFile(index, old, 0, {2 << 16, 4 << 20});
    QStringList got;
    for (const ChunkPiece &piece : plan)
        got << QStringLiteral("%1%2+%3")
                   .arg(piece.kind == ChunkPiece::Copy ? 'C' : 'F')
                   .arg(piece.firstChunk)
                   .arg(piece.chunkCount);
    QCOMPARE(got.join(QLatin1Char(' ')), pieces);
    QVERIFY(fetchedBytes(plan) <= 2 * missing);
}

// The patch of a pack built from the old copy and the fetched ranges; a tampered range is
// refused without a byte of it written; a run cut in the middle resumes after its last chunk.
void TestChunks::build()
{
    QTemporaryDir dir;
    const QByteArray oldData = noise(2 << 20, 1);
    const QByteArray newData =
        QByteArray(oldData).insert(5000, "patch").replace(1 << 20, 200000, noise(200000, 2));
    QFile old(dir.filePath(QStringLiteral("old")));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write(oldData) == oldData.size());
    old.close();
    ChunkIndex oldIndex, newIndex;
    QVERIFY(scanFileChunks(old.fileName(), ChunkRule(), {}, &oldIndex));
    QFile fresh(dir.filePath(QStringLiteral("new")));
    QVERIFY(fresh.open(QIODevice::WriteOnly) && fresh.write(newData) == newData.size());
    fresh.close();
    QVERIFY(scanFileChunks(fresh.fileName(), ChunkRule(), {}, &newIndex));
    const QString part = dir.filePath(QStringLiteral("part"));

    for (const bool tamper : {true, false}) {
        if (!tamper) { // the tampered run was also cut in the middle of a write
            QFile torn(part);
            QVERIFY(torn.open(QIODevice::ReadWrite) && torn.seek(torn.size() - 4));
            QVERIFY(torn.write("torn") == 4);
        }
        ChunkedFileBuilder builder(newIndex, oldChunkMap(oldIndex), old.fileName(), part,
                                   QStringLiteral("game.pak"));
        QVERIFY(builder.open());
        QCOMPARE(builder.bytesWritten() > 0, !tamper); // kept from the tampered run
        while (const ChunkPiece *piece = builder.current()) {
            if (piece->kind == ChunkPiece::Copy) {
                QVERIFY(builder.copy(1 << 20));
                continue;
            }
            QByteArray range =
                newData.mid(builder.rangeBegin(), builder.rangeEnd() - builder.rangeBegin());
            if (tamper && builder.rangeBegin() > 0x10000) {
                range[range.size() - 1] = ~range[range.size() - 1];
                QString error;
                QVERIFY(!builder.feed(range.constData(), range.size(), &error));
                QVERIFY(
                    error.startsWith(QStringLiteral("Hash invalido em um trecho de 'game.pak'")));
                break;
            }
            for (qsizetype at = 0; at < range.size(); at += 10007) // as a reply's reads come
                QVERIFY(builder.feed(range.constData() + at, qMin(range.size() - at, 10007)));
        }
        if (!tamper)
            QVERIFY(builder.finish());
    }
    QFile built(part);
    QVERIFY(built.open(QIODevice::ReadOnly));
    QCOMPARE(built.readAll(), newData);
}

QTEST_GUILESS_MAIN(TestChunks)
#include "tst_chunks.moc"
