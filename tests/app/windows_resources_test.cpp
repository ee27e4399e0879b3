// The Windows resource script, compiled by the MinGW resource compiler on any host: configured for a
// 64-bit or a 32-bit build it must compile to a COFF object of that machine, and the compiled resources
// must hold the six-image icon, the manifest asking for administrator rights and Common-Controls 6 for
// that processor architecture, and the version record, in Chinese (PRC).
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

constexpr int kIcon = 3;
constexpr int kGroupIcon = 14;
constexpr int kVersion = 16;
constexpr int kManifest = 24;
constexpr int kChinesePrc = 0x0804;

struct Resource {
    int type = 0;
    int id = 0;
    int language = 0;
    QByteArray data;
};

quint16 Word(const QByteArray& b, qsizetype at) {
    return at + 2 <= b.size() ? qFromLittleEndian<quint16>(b.constData() + at) : 0;
}

quint32 Dword(const QByteArray& b, qsizetype at) {
    return at + 4 <= b.size() ? qFromLittleEndian<quint32>(b.constData() + at) : 0;
}

qsizetype Align4(qsizetype at) {
    return (at + 3) & ~qsizetype(3);
}

// A type or name field of a .res header: 0xFFFF and a number, or a NUL-terminated UTF-16 name
// (returned as -1). Moves at past the field.
int ReadId(const QByteArray& b, qsizetype& at) {
    if (Word(b, at) == 0xFFFF) {
        const int id = Word(b, at + 2);
        at += 4;
        return id;
    }
    while (at + 2 <= b.size() && Word(b, at) != 0) {
        at += 2;
    }
    at += 2;
    return -1;
}

QList<Resource> ReadRes(const QByteArray& b) {
    QList<Resource> resources;
    qsizetype at = 0;
    while (at + 32 <= b.size()) {
        const quint32 dataSize = Dword(b, at);
        const quint32 headerSize = Dword(b, at + 4);
        qsizetype field = at + 8;
        Resource r;
        r.type = ReadId(b, field);
        r.id = ReadId(b, field);
        r.language = Word(b, at + headerSize - 10);
        r.data = b.mid(at + headerSize, dataSize);
        if (r.type != 0) { // the empty entry that opens every .res file
            resources.append(r);
        }
        at = Align4(at + headerSize + dataSize);
    }
    return resources;
}

// Walks a VS_VERSIONINFO block: string values go into strings under "StringFileInfo/080404B0/Key";
// the root's binary value (VS_FIXEDFILEINFO) into fixed.
void ReadVersionNode(const QByteArray& b, qsizetype at, const QString& path, QMap<QString, QString>& strings,
                     QByteArray& fixed) {
    const qsizetype length = Word(b, at);
    const qsizetype valueLength = Word(b, at + 2);
    const int type = Word(b, at + 4);
    qsizetype cursor = at + 6;
    QString key;
    while (cursor + 2 <= b.size() && Word(b, cursor) != 0) {
        key.append(QChar(Word(b, cursor)));
        cursor += 2;
    }
    cursor = Align4(cursor + 2);
    const QString here = path.isEmpty() ? key : path + QLatin1Char('/') + key;
    const qsizetype valueBytes = type == 1 ? valueLength * 2 : valueLength;
    if (valueLength > 0) {
        if (type == 1) {
            QString value;
            for (qsizetype i = 0; i + 1 < valueLength; ++i) { // the count includes the closing NUL
                value.append(QChar(Word(b, cursor + 2 * i)));
            }
            strings.insert(here, value);
        } else if (path.isEmpty()) {
            fixed = b.mid(cursor, valueBytes);
        }
    }
    cursor = Align4(cursor + valueBytes);
    while (cursor < at + length && cursor + 6 <= b.size()) {
        const qsizetype childLength = Word(b, cursor);
        if (childLength == 0) {
            break;
        }
        ReadVersionNode(b, cursor, here, strings, fixed);
        cursor = Align4(cursor + childLength);
    }
}

} // namespace

class WindowsResourcesTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QMap<QString, QList<Resource>> m_resourcesByArch; // "amd64" (a 64-bit build) and "X86" (32-bit)
    QList<Resource> m_resources;                      // the 64-bit build's

    // The script configured for the manifest's architecture name, compiled for that machine.
    static QString RcFile(const QString& arch) {
        return arch == QStringLiteral("X86") ? QStringLiteral(OSTRAWEN_RC_FILE_X86)
                                             : QStringLiteral(OSTRAWEN_RC_FILE_AMD64);
    }
    static QString Target(const QString& arch) {
        return arch == QStringLiteral("X86") ? QStringLiteral("pe-i386") : QStringLiteral("pe-x86-64");
    }

    bool Compile(const QString& arch, const QString& format, const QString& output) {
        QStringList args;
        const QString preprocessor = QStringLiteral(OSTRAWEN_RC_PREPROCESSOR);
        if (!preprocessor.isEmpty()) {
            // Only the resource compiler is installed, not the MinGW C compiler it would look for.
            args << QStringLiteral("--preprocessor=") + preprocessor << QStringLiteral("--preprocessor-arg=-E")
                 << QStringLiteral("--preprocessor-arg=-xc") << QStringLiteral("--preprocessor-arg=-DRC_INVOKED");
        }
        args << QStringLiteral("-F") << Target(arch) << QStringLiteral("-O") << format << QStringLiteral("-i")
             << RcFile(arch) << QStringLiteral("-o") << output;
        QProcess windres;
        windres.start(QStringLiteral(OSTRAWEN_WINDRES), args);
        if (!windres.waitForFinished(60000) || windres.exitStatus() != QProcess::NormalExit ||
            windres.exitCode() != 0) {
            qWarning().noquote() << windres.readAllStandardError();
            return false;
        }
        return true;
    }

    QList<Resource> OfType(int type) const {
        QList<Resource> found;
        for (const Resource& r : m_resources) {
            if (r.type == type) {
                found.append(r);
            }
        }
        return found;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        for (const QString& arch : {QStringLiteral("amd64"), QStringLiteral("X86")}) {
            const QString res = m_dir.filePath(arch + QStringLiteral(".res"));
            QVERIFY(Compile(arch, QStringLiteral("res"), res));
            QFile file(res);
            QVERIFY(file.open(QIODevice::ReadOnly));
            m_resourcesByArch.insert(arch, ReadRes(file.readAll()));
            QVERIFY(!m_resourcesByArch.value(arch).isEmpty());
        }
        m_resources = m_resourcesByArch.value(QStringLiteral("amd64"));
    }

    void compilesToAnObjectOfItsMachine_data() {
        QTest::addColumn<QString>("arch");
        QTest::addColumn<int>("machine");
        QTest::newRow("64-bit") << "amd64" << 0x8664; // IMAGE_FILE_MACHINE_AMD64
        QTest::newRow("32-bit") << "X86" << 0x014C;   // IMAGE_FILE_MACHINE_I386
    }
    void compilesToAnObjectOfItsMachine() {
        QFETCH(QString, arch);
        QFETCH(int, machine);
        const QString object = m_dir.filePath(arch + QStringLiteral(".o"));
        QVERIFY(Compile(arch, QStringLiteral("coff"), object));
        QFile file(object);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray coff = file.readAll();
        QCOMPARE(int(Word(coff, 0)), machine);
        QVERIFY(coff.contains(QByteArrayLiteral(".rsrc")));
    }

    void iconHasSixImages() {
        const QList<Resource> images = OfType(kIcon);
        QCOMPARE(images.size(), 6);
        const QList<Resource> groups = OfType(kGroupIcon);
        QCOMPARE(groups.size(), 1);
        const QByteArray& group = groups.front().data;
        QCOMPARE(int(Word(group, 4)), 6);
        QSet<QPair<int, int>> seen;
        for (int i = 0; i < 6; ++i) {
            const qsizetype at = 6 + 14 * i; // GRPICONDIRENTRY
            seen.insert({quint8(group[at]), int(Word(group, at + 6))});
        }
        const QSet<QPair<int, int>> expected = {{48, 8}, {32, 8}, {16, 8}, {48, 32}, {32, 32}, {16, 32}};
        QCOMPARE(seen, expected);
    }

    // Both assembly identities name the build's architecture: Windows refuses to start a 64-bit program
    // whose manifest asks for the 32-bit Common-Controls.
    void manifestAsksForAdministratorAndCommonControls_data() {
        QTest::addColumn<QString>("arch");
        QTest::addColumn<QByteArray>("architecture");
        QTest::newRow("64-bit") << "amd64" << QByteArray("processorArchitecture=\"amd64\"");
        QTest::newRow("32-bit") << "X86" << QByteArray("processorArchitecture=\"X86\"");
    }
    void manifestAsksForAdministratorAndCommonControls() {
        QFETCH(QString, arch);
        QFETCH(QByteArray, architecture);
        QList<Resource> manifests;
        for (const Resource& r : m_resourcesByArch.value(arch)) {
            if (r.type == kManifest) {
                manifests.append(r);
            }
        }
        QCOMPARE(manifests.size(), 1);
        QCOMPARE(manifests.front().id, 1);
        QCOMPARE(manifests.front().language, kChinesePrc);
        const QByteArray& xml = manifests.front().data;
        for (const char* needle :
             {"level=\"requireAdministrator\"", "uiAccess=\"false\"", "name=\"Microsoft.Windows.Common-Controls\"",
              "version=\"6.0.0.0\"", "publicKeyToken=\"6595b64144ccf1df\"", "name=\"Microsoft.Windows.mfc\"",
              "<description>Pellidor</description>",
              "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2, "
              "PerMonitor</dpiAwareness>",
              "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>"}) {
            QVERIFY2(xml.contains(needle), needle);
        }
        QCOMPARE(xml.count(architecture), 2);
        QCOMPARE(xml.count("processorArchitecture="), 2);
    }

    void versionRecord_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("FileVersion") << "FileVersion"
                                     << "2.00";
        QTest::newRow("ProductVersion") << "ProductVersion"
                                        << "2.00";
        QTest::newRow("ProductName") << "ProductName"
                                     << "Ostrawen - Keldrava";
        QTest::newRow("FileDescription") << "FileDescription"
                                         << "Keldrava";
        QTest::newRow("InternalName") << "InternalName"
                                      << "Ostrawen";
        QTest::newRow("OriginalFilename") << "OriginalFilename"
                                          << "Ostrawen.exe";
        QTest::newRow("Comments") << "Comments"
                                  << "压缩 MPQ 文件、修改魔兽背景图片/音乐/字体、修改局域网主机名";
    }
    void versionRecord() {
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QList<Resource> versions = OfType(kVersion);
        QCOMPARE(versions.size(), 1);
        QCOMPARE(versions.front().language, kChinesePrc);
        QMap<QString, QString> strings;
        QByteArray fixed;
        ReadVersionNode(versions.front().data, 0, QString(), strings, fixed);
        QCOMPARE(strings.value(QStringLiteral("VS_VERSION_INFO/StringFileInfo/080404B0/") + key), value);

        // VS_FIXEDFILEINFO: signature, then file and product version 2.0.0.0.
        QCOMPARE(Dword(fixed, 0), quint32(0xFEEF04BD));
        QCOMPARE(Dword(fixed, 8), quint32(0x00020000));
        QCOMPARE(Dword(fixed, 12), quint32(0));
        QCOMPARE(Dword(fixed, 16), quint32(0x00020000));
        QCOMPARE(Dword(fixed, 20), quint32(0));
    }
};

QTEST_MAIN(WindowsResourcesTest)
#include "windows_resources_test.moc"
