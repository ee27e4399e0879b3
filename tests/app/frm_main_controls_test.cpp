// The window's controls: as on Windows in look and answer; blocked but alive during a long archive
// operation; on hostile archives the error message and the archive as it was.
#include "screenshot.h"
#include "window_fixture.h"

#include "app/ui_prompts.h"
#include "archive/worker/worker_mpq_engine.h"
#include "testkit/hostile_archives.h"

#include <QAbstractItemView>
#include <QAccessible>
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

class ControlsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_rig = std::make_unique<GameRig>();
        ui_prompts::TakeShownMessages();
    }
    void cleanup() { m_window.reset(); }

    // Flat buttons framed at rest, with a look of their own on keyboard focus, under the pointer and
    // pressed; lists open below their box and take the wheel only when focused.
    void looksAndAnswersAsOnWindows() {
        QVERIFY(StartShown());
        auto* elsewhere = Find<QWidget>("txtLanGameName");
        elsewhere->setFocus(Qt::TabFocusReason);
        SaveScreenshot(*m_window, QStringLiteral("window-at-rest"));
        for (const char* name : {"btnCompressMpq", "btnDoModificationForGeneral", "btnBrowserForModificationDest",
                                 "btnDoModificationForMouse", "btnDoModificationForLanGameName"}) {
            auto* button = Find<QPushButton>(name);
            elsewhere->setFocus(Qt::TabFocusReason);
            const QImage rest = button->grab().toImage();
            QVERIFY2(button->isFlat() && Differing(rest) > (2 * (rest.width() + rest.height()) - 4) * 9 / 10, name);
            for (int tabs = 0; tabs < 30 && QApplication::focusWidget() != button; ++tabs)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            SaveScreenshot(*m_window, QStringLiteral("window-focus-") + QLatin1String(name));
            const QImage focused = button->grab().toImage();
            button->setAttribute(Qt::WA_UnderMouse, true);
            const QImage hovered = button->grab().toImage();
            button->setDown(true);
            const QImage pressed = button->grab().toImage();
            button->setDown(false);
            button->setAttribute(Qt::WA_UnderMouse, false);
            // Enough for an eye to see: a dotted line round a small button changes about 50 pixels.
            QVERIFY2(QApplication::focusWidget() == button && Differing(rest, focused) > 20 &&
                         Differing(focused, hovered) > 20 && Differing(hovered, pressed) > 20,
                     name);
        }
        for (const char* name : {"cboMpqFileName", "cboItemToModify"}) {
            auto* combo = Find<QComboBox>(name);
            combo->showPopup();
            QTRY_VERIFY2(combo->view()->window()->isVisible(), name);
            QVERIFY2(combo->view()->window()->y() >= combo->mapToGlobal(QPoint(0, combo->height())).y() - 1, name);
            combo->hidePopup();
            for (QWidget* focused : {elsewhere, static_cast<QWidget*>(combo)}) {
                focused->setFocus(Qt::TabFocusReason);
                combo->setCurrentIndex(0);
                // One notch of the wheel towards the user, as the desktop delivers it.
                const QPointF centre(combo->width() / 2.0, combo->height() / 2.0);
                QWheelEvent wheel(centre, combo->mapToGlobal(centre), {}, {0, -120}, Qt::NoButton, Qt::NoModifier,
                                  Qt::NoScrollPhase, false);
                QSpontaneKeyEvent::setSpontaneous(&wheel);
                QApplication::instance()->notify(combo, &wheel);
                QVERIFY2(combo->currentIndex() == (focused == combo ? 1 : 0) && QApplication::focusWidget() == focused,
                         name);
            }
        }
    }

    // Every control a screen reader reaches says what it is, and every control that takes the focus is
    // listed. On Linux a list's name is its chosen entry (Qt's convention there), so its label is said as
    // its description.
    void everyControlHasASpokenName() {
        QVERIFY(StartShown());
        const QStringList says = // a control, then a word of what is said for it
            QStringLiteral(
                "PicTop Keldrava ImgLogo Ostrawen cboMpqFileName MPQ btnCompressMpq 压缩 cboItemToModify 项目 "
                "txtDestForGameModification 目标文件 btnBrowserForModificationDest 浏览 chkExtract 提取 "
                "chkDelete 删除 btnDoModificationForGeneral 执行操作 optMouseNightElf 暗夜精灵 optMouseOrc "
                "兽族 optMouseHuman 人族 optMouseUndead 亡灵天灾 btnDoModificationForMouse 修改 "
                "txtLanGameName 主机名 btnDoModificationForLanGameName 确认修改")
                .split(QLatin1Char(' '));
        for (qsizetype i = 0; i + 1 < says.size(); i += 2) {
            QAccessibleInterface* accessible =
                QAccessible::queryAccessibleInterface(Find<QWidget>(qPrintable(says[i])));
            QVERIFY2(accessible, qPrintable(says[i]));
            const QString name = accessible->text(QAccessible::Name);
            const QString spoken = name + QLatin1Char('|') + accessible->text(QAccessible::Description);
            QVERIFY2(!name.isEmpty() && spoken.contains(says[i + 1]), qPrintable(says[i] + QLatin1Char(' ') + spoken));
        }
        for (const QWidget* child : m_window->findChildren<QWidget*>()) {
            if (child->focusPolicy() != Qt::NoFocus && child->isVisibleTo(m_window.get()) &&
                !child->objectName().isEmpty() && !child->objectName().startsWith(QLatin1String("qt_")))
                QVERIFY2(says.contains(child->objectName()), qPrintable(child->objectName()));
        }
    }

    void blockedButAlive_data() {
        QTest::addColumn<QString>("action"); // rows are named after the worker's step that is made slow
        QTest::newRow("CompactArchive") << QStringLiteral("btnCompressMpq");
        QTest::newRow("ReadFile") << QStringLiteral("cboMpqFileName");
    }

    // No click or key reaches a control, closing is refused and no second operation starts (as a
    // queued signal would start one); yet timers fire, as the window waits in a local event loop.
    void blockedButAlive() {
        QFETCH(QString, action);
        for (const char* archive : {"War3Patch.mpq", "War3x.mpq"})
            BuildGameArchive(m_rig->Game() / archive, {std::string("主机"), std::string("Orc"), {}});
        QVERIFY(StartShown());
        WorkerOptions slow;
        slow.extraArguments = {std::string("--slow-step=") + QTest::currentDataTag()};
        m_window->SetMpqEngine(MakeWorkerMpqEngine(slow));
        auto* extract = Find<QCheckBox>("chkExtract");
        QSignalSpy toggles(extract, &QAbstractButton::toggled);
        int ticks = 0;
        bool closeAccepted = true;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (m_window->OperationRunning() && ++ticks == 1) {
                QTest::mouseClick(extract, Qt::LeftButton);
                QTest::keyClick(extract, Qt::Key_Space);
                closeAccepted = m_window->close();
                m_window->Logic().btnDoModificationForMouse_Click();
            }
        });
        timer.start(10);
        ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes); // the compaction's question
        if (auto* archives = Find<QComboBox>(qPrintable(action)))
            ChooseFromPopup(archives, QStringLiteral("War3x.mpq"));
        else
            QTest::mouseClick(Find<QPushButton>(qPrintable(action)), Qt::LeftButton);
        timer.stop();
        QVERIFY2(ticks > 1, "no timer fired during the operation");
        QVERIFY(toggles.isEmpty() && !closeAccepted && m_window->isVisible() && !m_window->OperationRunning());
        const QList<ui_prompts::MessageRecord> shown = ui_prompts::TakeShownMessages();
        QCOMPARE(shown.size(), action == QLatin1String("btnCompressMpq") ? 2 : 0); // its question, its outcome
        QVERIFY(shown.isEmpty() || shown.back().text == QStringLiteral("命令成功完成."));
        QTest::mouseClick(extract, Qt::LeftButton); // afterwards the window takes input again
        QCOMPARE(toggles.count(), 1);
    }

    void hostileArchive_data() {
        QTest::addColumn<HostileShape>("shape");
        for (HostileShape shape : testkit::AllHostileShapes())
            QTest::newRow(testkit::HostileShapeName(shape)) << shape;
    }

    // The start-up reads quietly; the LAN name (in GlobalStrings.fdf, which only the shape whose one
    // damaged file is war3skins.txt leaves readable) and the compaction fail, but one damaged file
    // leaves the rest of the archive usable.
    void hostileArchive() {
        QFETCH(HostileShape, shape);
        const fs::path patch = m_rig->Game() / "War3Patch.mpq";
        testkit::MakeHostileArchive(shape, patch);
        const std::vector<std::uint8_t> before = testkit::FileFingerprint(patch);
        m_window = m_rig->Start();
        QVERIFY(m_window);
        Find<QLineEdit>("txtLanGameName")->setText(QStringLiteral("新的名字"));
        QTest::mouseClick(Find<QPushButton>("btnDoModificationForLanGameName"), Qt::LeftButton);
        const bool stringsReadable = shape == HostileShape::SectorOffsetsOutsideBlock;
        QVERIFY(stringsReadable || testkit::FileFingerprint(patch) == before);
        ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes);
        QTest::mouseClick(Find<QPushButton>("btnCompressMpq"), Qt::LeftButton);
        const bool compacts = shape == HostileShape::HuffmanSector || stringsReadable;
        const QString failed = QStringLiteral("操作过程中发生错误.");
        const QList<ui_prompts::MessageRecord> shown = ui_prompts::TakeShownMessages();
        QCOMPARE(shown.size(), 3); // the write's outcome, the compaction's question and its outcome
        QCOMPARE(shown[0].text, stringsReadable ? QStringLiteral("命令成功完成.") : failed);
        QCOMPARE(shown[2].text, compacts ? QStringLiteral("命令成功完成.") : failed);
        QVERIFY(compacts || testkit::FileFingerprint(patch) == before);
    }

private:
    template <typename T> T* Find(const char* name) const { return GameRig::Find<T>(*m_window, name); }

    // Pixels where two pictures differ; against none, those of the frame line that are not the window's white.
    static int Differing(const QImage& image, const QImage& other = {}) {
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
