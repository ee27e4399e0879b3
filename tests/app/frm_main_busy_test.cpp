// The window during a long archive operation: blocked (no click reaches a control, closing is
// refused, no second operation starts) but alive (timers fire, it repaints), because it waits in a
// local event loop that the archive door drives while its worker works.
#include "window_fixture.h"

#include "app/frm_main.h"
#include "app/ui_prompts.h"
#include "archive/mpq_engine.h"
#include "archive/worker_mpq_engine.h"
#include "mods/modifications.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>

using namespace window_test;

namespace {

enum class SlowStep { Read, Write, Compact };

// The real worker engine with one step made slow. While it "works" it reports progress every 20 ms,
// as the door does while its worker is busy.
class SlowMpqEngine final : public MpqEngine {
public:
    SlowMpqEngine(SlowStep slow, std::chrono::milliseconds length)
        : m_real(MakeWorkerMpqEngine()), m_slow(slow), m_length(length) {}

    MpqHandle OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) override {
        return m_real->OpenArchive(path, readOnly, headerAtStart);
    }
    bool IsReadOnly(MpqHandle archive) override { return m_real->IsReadOnly(archive); }
    bool FlushArchive(MpqHandle archive) override { return m_real->FlushArchive(archive); }
    bool CloseArchive(MpqHandle archive) override { return m_real->CloseArchive(archive); }
    MpqHandle OpenFile(MpqHandle archive, const std::string& name) override { return m_real->OpenFile(archive, name); }
    std::optional<std::uint64_t> FileSize(MpqHandle file) override { return m_real->FileSize(file); }
    std::optional<std::uint32_t> FileLocale(MpqHandle file) override { return m_real->FileLocale(file); }
    bool ReadFile(MpqHandle file, std::uint8_t* buffer, std::uint32_t size) override {
        Work(SlowStep::Read);
        return m_real->ReadFile(file, buffer, size);
    }
    bool CloseFile(MpqHandle file) override { return m_real->CloseFile(file); }
    MpqHandle CreateFile(MpqHandle archive, const std::string& name, std::uint32_t size,
                         std::uint32_t locale) override {
        return m_real->CreateFile(archive, name, size, locale);
    }
    bool WriteFile(MpqHandle file, const std::uint8_t* data, std::uint32_t size) override {
        Work(SlowStep::Write);
        return m_real->WriteFile(file, data, size);
    }
    bool FinishFile(MpqHandle file) override { return m_real->FinishFile(file); }
    bool RemoveFile(MpqHandle archive, const std::string& name) override { return m_real->RemoveFile(archive, name); }
    bool CompactArchive(MpqHandle archive) override {
        Work(SlowStep::Compact);
        return m_real->CompactArchive(archive);
    }
    MpqFailure LastFailure() const override { return m_real->LastFailure(); }
    void SetProgress(MpqProgress progress) override {
        m_progress = progress;
        m_real->SetProgress(std::move(progress));
    }

private:
    void Work(SlowStep step) {
        if (step != m_slow)
            return;
        const auto end = std::chrono::steady_clock::now() + m_length;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (m_progress)
                m_progress(0, 0);
        }
    }

    std::shared_ptr<MpqEngine> m_real;
    SlowStep m_slow;
    std::chrono::milliseconds m_length;
    MpqProgress m_progress;
};

// Counts the paint events a widget receives.
class PaintCounter final : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class BusyTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_rig = std::make_unique<GameRig>(); }
    void cleanup() {
        m_window.reset();
        m_rig.reset();
        ui_prompts::TakeShownMessages();
    }

    void blockedButAlive_data();
    void blockedButAlive();

private:
    std::unique_ptr<GameRig> m_rig;
    std::unique_ptr<FrmMain> m_window;
};

void BusyTest::blockedButAlive_data() {
    QTest::addColumn<int>("slow");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("messages"); // message boxes the action ends with
    QTest::newRow("compaction") << int(SlowStep::Compact) << "btnCompressMpq" << 1;
    QTest::newRow("LAN name write") << int(SlowStep::Write) << "btnDoModificationForLanGameName" << 1;
    QTest::newRow("archive choice reads") << int(SlowStep::Read) << "cboMpqFileName" << 0;
}

void BusyTest::blockedButAlive() {
    QFETCH(int, slow);
    QFETCH(QString, action);
    QFETCH(int, messages);
    for (const char* archive : {"War3Patch.mpq", "War3x.mpq"})
        BuildGameArchive(m_rig->Game() / archive, {std::string("主机"), std::string("Orc"), {}});
    m_window = m_rig->Start();
    QVERIFY(m_window);
    m_window->ShowCentred();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_window->SetMpqEngine(
        std::make_shared<SlowMpqEngine>(static_cast<SlowStep>(slow), std::chrono::milliseconds(400)));
    ui_prompts::TakeShownMessages();

    auto* extract = m_window->findChild<QCheckBox*>(QStringLiteral("chkExtract"));
    QLabel* banner = m_window->Label(3);
    QSignalSpy toggles(extract, &QAbstractButton::toggled);
    PaintCounter paintCounter;
    banner->installEventFilter(&paintCounter);

    int ticksDuring = 0;
    int paintsDuring = 0;
    bool closeAccepted = true;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (!m_window->OperationRunning())
            return;
        if (++ticksDuring == 1) {
            // A click on another control, a close request and a second operation started behind
            // the window's back (as a queued signal would): none of them may take effect.
            QTest::mouseClick(extract, Qt::LeftButton);
            QTest::keyClick(extract, Qt::Key_Space);
            closeAccepted = m_window->close();
            m_window->btnDoModificationForMouse_Click();
            paintCounter.paints = 0;
            banner->update();
        } else {
            paintsDuring = paintCounter.paints;
        }
    });
    timer.start();

    ui_prompts::SetNextAnswer(ui_prompts::Answer::Yes); // the compaction's question
    if (action == QLatin1String("cboMpqFileName"))
        m_window->findChild<QComboBox*>(action)->setCurrentIndex(2); // War3x.mpq
    else
        QTest::mouseClick(m_window->findChild<QPushButton*>(action), Qt::LeftButton);
    timer.stop();
    banner->removeEventFilter(&paintCounter);

    QVERIFY2(ticksDuring > 0, "no timer fired during the operation");
    QCOMPARE(toggles.count(), 0); // neither the click nor the key reached the box
    QVERIFY(!closeAccepted);
    QVERIFY(m_window->isVisible());
    QVERIFY(!m_window->OperationRunning());
    // Only the operation's own outcome; the cursor write never ran.
    const QList<ui_prompts::MessageRecord> shown = ui_prompts::TakeShownMessages();
    const int compactionQuestion = action == QLatin1String("btnCompressMpq") ? 1 : 0;
    QCOMPARE(shown.size(), messages + compactionQuestion);
    if (messages > 0)
        QCOMPARE(shown.back().text, QString::fromStdU16String(mods::kTextSucceeded));
    // Alive all along: timers kept firing and the window repainted.
    QVERIFY2(ticksDuring > 1, qPrintable(QString::number(ticksDuring)));
    QVERIFY2(paintsDuring > 0, "no repaint during the operation");

    // Afterwards the window takes input again.
    QTest::mouseClick(extract, Qt::LeftButton);
    QCOMPARE(toggles.count(), 1);
}

QTEST_MAIN(BusyTest)
#include "frm_main_busy_test.moc"
