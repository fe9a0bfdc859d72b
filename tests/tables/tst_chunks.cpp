// Content-defined chunks: the boundary rule under edits, the index parser's refusals and the
// plan's joining of ranges.
#include "download/chunkplan.h"
#include "download/chunkscan.h"

#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QTest>
#include <QtEndian>

namespace {

// Where each chunk starts, the data fed in blocks of the given size.
QList<qint64> starts(const QByteArray &data, qsizetype block)
{
    Chunker chunker;
    QList<qint64> found{0};
    for (qsizetype at = 0; at < data.size();) {
        bool cut = false;
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(data.constData()) + at;
        at += qsizetype(chunker.next(bytes, std::size_t(qMin(block, data.size() - at)), &cut));
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
};

void TestChunks::boundaries_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("at"); // the edit: bytes [at, at + removed) become inserted
    QTest::addColumn<int>("removed");
    QTest::addColumn<QByteArray>("inserted");
    QByteArray random(3 << 20, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    QTest::newRow("insertion") << random << 300000 << 0 << QByteArray(100, 'x');
    QTest::newRow("deletion") << random << 1000000 << 5000 << QByteArray();
    QTest::newRow("overwrite") << random << 2000000 << (1 << 18) << random.right(1 << 18);
    // No boundary in the content: the maximum cuts.
    QTest::newRow("zeros") << QByteArray(3 << 20, '\0') << 0 << 0 << QByteArray();
}

void TestChunks::boundaries()
{
    QFETCH(QByteArray, data);
    QFETCH(int, at);
    QFETCH(int, removed);
    QFETCH(QByteArray, inserted);
    const QList<qint64> before = starts(data, 1 << 20);
    QCOMPARE(starts(data, 1), before); // the same whatever the blocks
    const ChunkRule rule;
    for (qsizetype i = 1; i <= before.size(); ++i) {
        const qint64 length = (i < before.size() ? before[i] : data.size()) - before[i - 1];
        QVERIFY(length <= rule.maxSize && (length >= rule.minSize || i == before.size()));
    }
    // Past the edit and one chunk more, every boundary is found again, moved by the edit.
    const QList<qint64> after = starts(QByteArray(data).replace(at, removed, inserted), 1 << 20);
    for (const qint64 start : before)
        QVERIFY(start <= at + removed + rule.maxSize ||
                after.contains(start + inserted.size() - removed));
    if (qstrcmp(QTest::currentDataTag(), "insertion") == 0) // the same on every platform
        QCOMPARE(before.mid(1, 3), (QList<qint64>{77387, 164368, 221363}));

    // A file is cut the same way, and every chunk is told in order while it is read.
    QTemporaryFile file;
    QVERIFY(file.open() && file.write(data) == data.size());
    file.close(); // the name stays until the end; the scan opens the file on its own
    std::vector<Chunk> told;
    ChunkScanOptions options;
    options.found = [&](const std::vector<Chunk> &chunks) {
        told.insert(told.end(), chunks.begin(), chunks.end());
    };
    ChunkIndex index;
    QVERIFY(scanFileChunks(file.fileName(), rule, options, &index));
    QCOMPARE(qsizetype(told.size()), before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        QCOMPARE(told[std::size_t(i)].offset, before[i]);
        QCOMPARE(told[std::size_t(i)].sha256, index.chunks[i].sha256);
    }
}

void TestChunks::refusals_data()
{
    QTest::addColumn<QByteArray>("document");
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
    QTest::newRow("valid, read back") << good;
    QTest::newRow("magic") << QByteArray(good).replace(0, 1, "X");
    QTest::newRow("trailing byte") << good + '\0';
    QTest::newRow("huge count") << with(good, 64, 0xffffffff);
    QTest::newRow("lengths short of size") << with(good, 24, 2 * 16384 + 6);
    QTest::newRow("below minimum") << with(with(good, 68, 16383), 104, 16385);
    QTest::newRow("above maximum") << with(with(good, 68, 262145), 24, 262145 + 16384 + 5);
    QTest::newRow("rule backwards") << with(good, 12, 70000);
}

void TestChunks::refusals()
{
    QFETCH(QByteArray, document);
    ChunkIndex parsed;
    const bool valid = QTest::currentDataTag()[0] == 'v';
    QCOMPARE(parseChunkIndex(document, &parsed), valid);
    QCOMPARE(chunkIndexDocument(parsed) == document, valid);
}

// One letter per chunk of 64 KiB: h held by the old file in order, m missing, r held elsewhere.
// Held runs of up to 128 KiB may be joined.
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
    for (int i = 0; i < chunks.size(); ++i) {
        index.chunks.append({qint64(i) << 16, 1 << 16, QByteArray::number(i)});
        if (chunks[i] != QLatin1Char('m'))
            old.insert(QByteArray::number(i),
                       {(i << 16) + (chunks[i] == QLatin1Char('r')), 1 << 16});
    }
    const QList<ChunkPiece> plan = planChunkedFile(index, old, 0, {2 << 16, 4 << 20});
    QStringList got;
    for (const ChunkPiece &piece : plan)
        got << QStringLiteral("%1%2+%3")
                   .arg(QLatin1Char(piece.kind == ChunkPiece::Copy ? 'C' : 'F'))
                   .arg(piece.firstChunk)
                   .arg(piece.chunkCount);
    QCOMPARE(got.join(QLatin1Char(' ')), pieces);
    QVERIFY(fetchedBytes(plan) <= 2 * (qint64(chunks.count(QLatin1Char('m'))) << 16));
}

QTEST_GUILESS_MAIN(TestChunks)
#include "tst_chunks.moc"
