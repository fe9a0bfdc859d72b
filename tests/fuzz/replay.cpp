// Feeds every file of the fuzz corpus to the fuzz entry once, so the inputs that once found or
// guard against a fault run with every build; live fuzzing (run-fuzz.sh) searches for new ones.
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    const QDir corpus(QString::fromLocal8Bit(argv[1]));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        QFile file(corpus.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray bytes = file.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                               std::size_t(bytes.size()));
    }
    std::printf("replayed %d inputs\n", int(names.size()));
    return names.isEmpty() ? 1 : 0;
}
