// The window on hostile archives: start-up, a LAN-name write and a compaction each finish, show
// the error message where they fail and leave the archive as it was.
#include "window_fixture.h"

#include "app/frm_main.h"
#include "app/ui_prompts.h"
#include "testkit/hostile_archives.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace window_test;
using testkit::HostileShape;

Q_DECLARE_METATYPE(HostileShape)

namespace {

const QString kSucceeded = QStringLiteral("命令成功完成.");
const QString kFailed = QStringLiteral("操作过程中发生错误.");

} // namespace

class HostileTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void hostileArchive_data();
    void hostileArchive();
};

void HostileTest::cleanup() {
    ui_prompts::TakeShownMessages();
    ui_prompts::TakeShownFileDialogs();
}

void HostileTest::hostileArchive_data() {
    QTest::addColumn<HostileShape>("shape");
    QTest::addColumn<bool>("compacts");
    for (HostileShape shape : testkit::AllHostileShapes()) {
        // Only a damaged GlobalStrings.fdf leaves the rest of the archive usable.
        QTest::newRow(testkit::HostileShapeName(shape)) << shape << (shape == HostileShape::HuffmanSector);
    }
}

void HostileTest::hostileArchive() {
    QFETCH(HostileShape, shape);
    QFETCH(bool, compacts);
    GameRig rig;
    const fs::path patch = rig.Game() / "War3Patch.mpq";
    testkit::MakeHostileArchive(shape, patch);
    const std::vector<std::uint8_t> before = testkit::FileFingerprint(patch);

    std::unique_ptr<FrmMain> window = rig.Start();
    QVERIFY(window);
    // Start-up reads the current settings quietly: nothing readable, nothing shown, nothing changed.
    QVERIFY(ui_prompts::TakeShownMessages().isEmpty());
    QVERIFY(testkit::FileFingerprint(patch) == before);

    // The LAN name lives in GlobalStrings.fdf, which no shape leaves readable.
    window->findChild<QLineEdit*>(QStringLiteral("txtLanGameName"))->setText(QStringLiteral("新的名字"));
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnDoModificationForLanGameName")),
                      Qt::LeftButton);
    const QList<ui_prompts::MessageRecord> written = ui_prompts::TakeShownMessages();
    QCOMPARE(written.size(), 1);
    QCOMPARE(written[0].text, kFailed);
    QCOMPARE(written[0].icon, ui_prompts::Icon::Exclamation);
    QVERIFY(testkit::FileFingerprint(patch) == before);

    ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes);
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnCompressMpq")), Qt::LeftButton);
    const QList<ui_prompts::MessageRecord> compacted = ui_prompts::TakeShownMessages();
    QCOMPARE(compacted.size(), 2);
    QCOMPARE(compacted[0].icon, ui_prompts::Icon::Question);
    QCOMPARE(compacted[1].text, compacts ? kSucceeded : kFailed);
    if (!compacts)
        QVERIFY(testkit::FileFingerprint(patch) == before);
    window.reset();
}

QTEST_MAIN(HostileTest)
#include "frm_main_hostile_test.moc"
