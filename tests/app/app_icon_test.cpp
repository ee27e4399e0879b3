// The application icon: the .ico holds the six images Windows needs (48, 32, 16 px at 256 colours and
// at 32-bit), every image shows the same picture, and the compiled-in PNGs match the 32-bit images.
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>
#include <QtTest>

namespace {

struct IcoEntry {
    int width = 0;
    int height = 0;
    int bitCount = 0;       // from the directory
    int headerBitCount = 0; // from the bitmap header the entry points at
    int headerHeight = 0;
    int paletteColours = 0;
    QByteArray data;
};

quint16 Word(const QByteArray& bytes, qsizetype at) {
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

quint32 Dword(const QByteArray& bytes, qsizetype at) {
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

// Reads the icon directory; empty on a malformed file.
QList<IcoEntry> ReadIco(const QByteArray& file) {
    QList<IcoEntry> entries;
    if (file.size() < 6 || Word(file, 0) != 0 || Word(file, 2) != 1) {
        return entries;
    }
    const int count = Word(file, 4);
    for (int i = 0; i < count; ++i) {
        const qsizetype at = 6 + 16 * i;
        if (at + 16 > file.size()) {
            return {};
        }
        IcoEntry entry;
        entry.width = quint8(file[at]) == 0 ? 256 : quint8(file[at]);
        entry.height = quint8(file[at + 1]) == 0 ? 256 : quint8(file[at + 1]);
        entry.bitCount = Word(file, at + 6);
        const quint32 size = Dword(file, at + 8);
        const quint32 offset = Dword(file, at + 12);
        if (offset + size > quint32(file.size()) || size < 40) {
            return {};
        }
        entry.data = file.mid(offset, size);
        entry.headerHeight = int(Dword(entry.data, 8));
        entry.headerBitCount = Word(entry.data, 14);
        entry.paletteColours = int(Dword(entry.data, 32));
        entries.append(entry);
    }
    return entries;
}

QString IcoPath() {
    return QStringLiteral(OSTRAWEN_RESOURCE_DIR "/ostrawen.ico");
}

// Decodes every image of the .ico with Qt's own reader, keyed by size and depth in directory order.
QList<QImage> DecodeIco() {
    QImageReader reader(IcoPath(), "ico");
    QList<QImage> images;
    for (int i = 0; i < reader.imageCount(); ++i) {
        if (!reader.jumpToImage(i)) {
            break;
        }
        images.append(reader.read().convertToFormat(QImage::Format_ARGB32));
    }
    return images;
}

// Mean difference per channel over the pixels opaque in both images.
double MeanDifference(const QImage& a, const QImage& b, int* opaquePixels) {
    double sum = 0;
    int counted = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            if (qAlpha(p) == 255 && qAlpha(q) == 255) {
                sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
                ++counted;
            }
        }
    }
    *opaquePixels = counted;
    return counted == 0 ? 0.0 : sum / (3.0 * counted);
}

} // namespace

class AppIconTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The icons are compiled into the static GUI library, which does not register them by itself.
        Q_INIT_RESOURCE(resources);
    }

    void icoHoldsSixImages() {
        QFile file(IcoPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<IcoEntry> entries = ReadIco(file.readAll());
        QCOMPARE(entries.size(), 6);
        QSet<QPair<int, int>> seen;
        for (const IcoEntry& entry : entries) {
            QCOMPARE(entry.width, entry.height);
            QCOMPARE(entry.headerBitCount, entry.bitCount);
            QCOMPARE(entry.headerHeight, entry.height * 2); // colour image and mask
            if (entry.bitCount == 8) {
                QVERIFY(entry.paletteColours == 0 || entry.paletteColours <= 256);
            }
            seen.insert({entry.width, entry.bitCount});
        }
        const QSet<QPair<int, int>> expected = {{48, 8}, {32, 8}, {16, 8}, {48, 32}, {32, 32}, {16, 32}};
        QCOMPARE(seen, expected);
    }

    void everyImageShowsTheSamePicture_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("48 px") << 48;
        QTest::newRow("32 px") << 32;
        QTest::newRow("16 px") << 16;
    }
    void everyImageShowsTheSamePicture() {
        QFETCH(int, size);
        QFile file(IcoPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<IcoEntry> entries = ReadIco(file.readAll());
        const QList<QImage> images = DecodeIco();
        QCOMPARE(images.size(), entries.size());
        QImage palette, trueColour;
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (entries[i].width != size) {
                continue;
            }
            QCOMPARE(images[i].size(), QSize(size, size));
            (entries[i].bitCount == 8 ? palette : trueColour) = images[i];
        }
        QVERIFY(!palette.isNull() && !trueColour.isNull());

        // The 256-colour image is the 32-bit one reduced, not a different or broken picture.
        int opaque = 0;
        const double paletteDifference = MeanDifference(palette, trueColour, &opaque);
        QVERIFY2(opaque > size * size / 2, qPrintable(QString::number(opaque)));
        QVERIFY2(paletteDifference < 4.0, qPrintable(QString::number(paletteDifference)));

        // The PNG built into the program is the same 32-bit picture.
        const QImage png =
            QImage(QStringLiteral(":/icons/ostrawen-%1.png").arg(size)).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(png.size(), QSize(size, size));
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const QRgb p = png.pixel(x, y);
                const QRgb q = trueColour.pixel(x, y);
                QCOMPARE(qAlpha(p), qAlpha(q));
                if (qAlpha(p) == 255) {
                    QCOMPARE(p, q);
                }
            }
        }
    }

    void transparentCornersAndOpaqueCentre() {
        for (int size : {48, 32, 16}) {
            const QImage png(QStringLiteral(":/icons/ostrawen-%1.png").arg(size));
            QCOMPARE(qAlpha(png.pixel(0, 0)), 0);
            QCOMPARE(qAlpha(png.pixel(size - 1, size - 1)), 0);
            QCOMPARE(qAlpha(png.pixel(size / 2, size / 2)), 255);
        }
    }
};

QTEST_MAIN(AppIconTest)
#include "app_icon_test.moc"
