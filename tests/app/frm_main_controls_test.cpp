// The window's controls: flat buttons framed at rest and marked when the keyboard reaches them, lists
// that open below their box and ignore the wheel unless focused, as on Windows; blocked but alive
// during a long archive operation; on hostile archives the error message and the archive as it was.
#include "window_fixture.h"

#include "app/ui_prompts.h"
#include "archive/worker_mpq_engine.h"
#include "testkit/hostile_archives.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

using namespace window_test;
using testkit::HostileShape;
Q_DECLARE_METATYPE(HostileShape)

namespace {

const QString kSucceeded = QStringLiteral("命令成功完成.");

// Pixels where two pictures differ; against no picture, those on the outer edge (the frame line)
// that are not the window's white.
int Differing(const QImage& image, const QImage& other = {}) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const bool edge = x == 0 || y == 0 || x == image.width() - 1 || y == image.height() - 1;
            count += other.isNull() ? edge && image.pixel(x, y) != qRgb(255, 255, 255)
                                    : image.pixel(x, y) != other.pixel(x, y);
        }
    }
    return count;
}

} // namespace

class ControlsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_rig = std::make_unique<GameRig>();
        ui_prompts::TakeShownMessages();
    }

    void flatButtons_data() {
        QTest::addColumn<QString>("button");
        for (const char* name : {"btnCompressMpq", "btnDoModificationForGeneral", "btnBrowserForModificationDest",
                                 "btnDoModificationForMouse", "btnDoModificationForLanGameName"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void flatButtons() {
        QFETCH(QString, button);
        QVERIFY(StartShown());
        auto* target = m_window->findChild<QPushButton*>(button);
        QVERIFY(target && target->isFlat());
        m_window->findChild<QWidget*>(QStringLiteral("txtLanGameName"))->setFocus(Qt::TabFocusReason);
        const QImage rest = target->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY2(Differing(rest) > (2 * (rest.width() + rest.height()) - 4) * 9 / 10, "no frame at rest");
        QWidget* before = target->previousInFocusChain();
        while (before->focusPolicy() == Qt::NoFocus || !before->isVisible())
            before = before->previousInFocusChain();
        before->setFocus(Qt::TabFocusReason);
        QTest::keyClick(before, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), target);
        // Enough for an eye to see: a dotted line round a small button changes about 50 pixels.
        QVERIFY2(Differing(rest, target->grab().toImage().convertToFormat(QImage::Format_RGB32)) > 20, "no mark");
    }

    void lists_data() {
        QTest::addColumn<QString>("list");
        QTest::newRow("archives") << "cboMpqFileName";
        QTest::newRow("items") << "cboItemToModify";
    }

    void lists() {
        QFETCH(QString, list);
        QVERIFY(StartShown());
        auto* combo = m_window->findChild<QComboBox*>(list);
        combo->showPopup();
        QTRY_VERIFY(combo->view()->window()->isVisible());
        QVERIFY(combo->view()->window()->geometry().top() >= combo->mapToGlobal(QPoint(0, combo->height())).y() - 1);
        combo->hidePopup();
        for (QWidget* focused : {m_window->findChild<QWidget*>(QStringLiteral("txtLanGameName")), (QWidget*)combo}) {
            focused->setFocus(Qt::TabFocusReason);
            combo->setCurrentIndex(0);
            // One notch of the wheel towards the user, as the desktop delivers it.
            const QPointF centre(combo->width() / 2.0, combo->height() / 2.0);
            QWheelEvent wheel(centre, combo->mapToGlobal(centre), {}, {0, -120}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QSpontaneKeyEvent::setSpontaneous(&wheel);
            QApplication::instance()->notify(combo, &wheel);
            QCOMPARE(combo->currentIndex(), focused == combo ? 1 : 0);
            QCOMPARE(QApplication::focusWidget(), focused);
        }
    }

    void blockedButAlive_data() {
        QTest::addColumn<QString>("slowStep"); // the worker's step that takes long
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("messages"); // message boxes shown, the compaction's question included
        QTest::newRow("compaction") << "CompactArchive"
                                    << "btnCompressMpq" << 2;
        QTest::newRow("LAN name write") << "WriteFile"
                                        << "btnDoModificationForLanGameName" << 1;
        QTest::newRow("archive choice reads") << "ReadFile"
                                              << "cboMpqFileName" << 0;
    }

    // No click or key reaches a control, closing is refused and no second operation starts (as a
    // queued signal would start one); yet timers fire, as the window waits in a local event loop.
    void blockedButAlive() {
        QFETCH(QString, slowStep);
        QFETCH(QString, action);
        QFETCH(int, messages);
        for (const char* archive : {"War3Patch.mpq", "War3x.mpq"})
            BuildGameArchive(m_rig->Game() / archive, {std::string("主机"), std::string("Orc"), {}});
        QVERIFY(StartShown());
        WorkerOptions slow;
        slow.extraArguments = {"--slow-step=" + slowStep.toStdString()};
        m_window->SetMpqEngine(MakeWorkerMpqEngine(slow));
        auto* extract = m_window->findChild<QCheckBox*>(QStringLiteral("chkExtract"));
        QSignalSpy toggles(extract, &QAbstractButton::toggled);
        int ticks = 0;
        bool closeAccepted = true;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (m_window->OperationRunning() && ++ticks == 1) {
                QTest::mouseClick(extract, Qt::LeftButton);
                QTest::keyClick(extract, Qt::Key_Space);
                closeAccepted = m_window->close();
                m_window->btnDoModificationForMouse_Click();
            }
        });
        timer.start(10);
        ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes); // the compaction's question
        if (action == QLatin1String("cboMpqFileName"))
            m_window->findChild<QComboBox*>(action)->setCurrentIndex(2); // War3x.mpq
        else
            QTest::mouseClick(m_window->findChild<QPushButton*>(action), Qt::LeftButton);
        timer.stop();
        QVERIFY2(ticks > 1, "no timer fired during the operation");
        QCOMPARE(toggles.count(), 0);
        QVERIFY(!closeAccepted && m_window->isVisible() && !m_window->OperationRunning());
        const QList<ui_prompts::MessageRecord> shown = ui_prompts::TakeShownMessages();
        QCOMPARE(shown.size(), messages);
        QVERIFY(messages == 0 || shown.back().text == kSucceeded);
        QTest::mouseClick(extract, Qt::LeftButton); // afterwards the window takes input again
        QCOMPARE(toggles.count(), 1);
    }

    void hostileArchive_data() {
        QTest::addColumn<HostileShape>("shape");
        for (HostileShape shape : testkit::AllHostileShapes())
            QTest::newRow(testkit::HostileShapeName(shape)) << shape;
    }

    // The start-up reads quietly; the LAN name (in GlobalStrings.fdf, which no shape leaves readable)
    // and the compaction fail, but a damaged GlobalStrings.fdf leaves the rest of the archive usable.
    void hostileArchive() {
        QFETCH(HostileShape, shape);
        const fs::path patch = m_rig->Game() / "War3Patch.mpq";
        testkit::MakeHostileArchive(shape, patch);
        const std::vector<std::uint8_t> before = testkit::FileFingerprint(patch);
        m_window = m_rig->Start();
        QVERIFY(m_window);
        m_window->findChild<QLineEdit*>(QStringLiteral("txtLanGameName"))->setText(QStringLiteral("新的名字"));
        QTest::mouseClick(m_window->findChild<QPushButton*>(QStringLiteral("btnDoModificationForLanGameName")),
                          Qt::LeftButton);
        QVERIFY(testkit::FileFingerprint(patch) == before);
        ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes);
        QTest::mouseClick(m_window->findChild<QPushButton*>(QStringLiteral("btnCompressMpq")), Qt::LeftButton);
        const bool compacts = shape == HostileShape::HuffmanSector;
        const QString failed = QStringLiteral("操作过程中发生错误.");
        const QList<ui_prompts::MessageRecord> shown = ui_prompts::TakeShownMessages();
        QCOMPARE(shown.size(), 3); // the write's outcome, the compaction's question and its outcome
        QCOMPARE(shown[0].text, failed);
        QCOMPARE(shown[2].text, compacts ? kSucceeded : failed);
        QVERIFY(compacts || testkit::FileFingerprint(patch) == before);
    }

    void cleanup() { m_window.reset(); }

private:
    bool StartShown() {
        m_window = m_rig->Start();
        if (m_window)
            m_window->ShowCentred();
        ui_prompts::TakeShownMessages();
        return m_window && QTest::qWaitForWindowActive(m_window.get());
    }

    std::unique_ptr<GameRig> m_rig;
    std::unique_ptr<FrmMain> m_window;
};

QTEST_MAIN(ControlsTest)
#include "frm_main_controls_test.moc"
