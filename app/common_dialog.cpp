#include "app/common_dialog.h"

#include "app/ui_prompts.h"

#include <QColorDialog>
#include <QDir>
#include <QFileInfo>
#include <QFontDialog>
#include <QFontInfo>
#include <QLocale>
#include <QPageLayout>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrinter>

#include <algorithm>

namespace {

constexpr QChar kNul(u'\0');

// The print dialog's copy count and page numbers are 16-bit fields.
int Word(std::int32_t value) {
    return static_cast<std::uint16_t>(value);
}

// Windows packs a colour as 0x00BBGGRR.
std::int32_t PackedRgb(const QColor& color) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(color.red()) |
                                     (static_cast<std::uint32_t>(color.green()) << 8) |
                                     (static_cast<std::uint32_t>(color.blue()) << 16));
}

} // namespace

QString clsCommonDialog::ConvertFilter(const QString& filter) {
    QString stored = filter;
    for (QChar& c : stored) {
        if (c == u'|') {
            c = kNul;
        }
    }
    stored.append(kNul);
    return stored;
}

QList<QPair<QString, QString>> clsCommonDialog::FilterPairsFromStoredFilter(const QString& stored) {
    // The list ends at the first empty text, where Windows sees the double NUL that ends it.
    const QStringList parts = stored.split(kNul);
    QList<QPair<QString, QString>> pairs;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty() || parts[i + 1].isEmpty()) {
            break;
        }
        pairs.append({parts[i], parts[i + 1]});
    }
    return pairs;
}

QStringList clsCommonDialog::NameFiltersFromStoredFilter(const QString& stored) {
    QStringList nameFilters;
    for (const auto& [description, pattern] : FilterPairsFromStoredFilter(stored)) {
        // Windows separates patterns with ";", Qt with blanks inside the parentheses.
        const bool plainPattern = !pattern.contains(u';');
        if (plainPattern && description.contains(pattern)) {
            nameFilters.append(description);
            continue;
        }
        QString patterns = pattern;
        patterns.replace(u';', u' ');
        nameFilters.append(QStringLiteral("%1 (%2)").arg(description, patterns.simplified()).trimmed());
    }
    return nameFilters;
}

std::int32_t clsCommonDialog::PointsFromTenths(std::int32_t tenths) {
    if (tenths < 0) {
        return -PointsFromTenths(-tenths);
    }
    const std::int32_t whole = tenths / 10;
    const std::int32_t rest = tenths % 10;
    if (rest > 5 || (rest == 5 && whole % 2 != 0)) {
        return whole + 1;
    }
    return whole;
}

void clsCommonDialog::SetFilter(const QString& filter) {
    m_filter = ConvertFilter(filter);
}

bool clsCommonDialog::ShowFileDialog(bool save) {
    ui_prompts::FileDialogRequest request;
    request.kind = save ? ui_prompts::FileDialogKind::Save : ui_prompts::FileDialogKind::Open;
    request.nameFilters = NameFiltersFromStoredFilter(m_filter);
    request.title = m_dialogTitle;
    request.directory = m_initDir;
    const std::optional<QString> chosen = ui_prompts::ShowFileDialog(m_owner, request);
    if (!chosen || chosen->isEmpty()) {
        return false;
    }
    m_fileName = QDir::toNativeSeparators(*chosen);
    m_fileTitle = QFileInfo(*chosen).fileName();
    return true;
}

bool clsCommonDialog::ShowOpen() {
    return ShowFileDialog(false);
}

bool clsCommonDialog::ShowSave() {
    return ShowFileDialog(true);
}

bool clsCommonDialog::ShowPrint() {
    QPrinter printer;
    QPrintDialog dialog(&printer, m_owner);
    const int minPage = Word(m_minPage);
    const int maxPage = Word(m_maxPage);
    if (minPage <= maxPage) {
        dialog.setMinMax(minPage, maxPage);
    }
    const int fromPage = Word(m_fromPage);
    const int toPage = Word(m_toPage);
    if (fromPage <= toPage) {
        printer.setFromTo(fromPage, toPage);
    }
    printer.setCopyCount(std::max(1, Word(m_copies)));
    if (!ui_prompts::ExecDialog(dialog)) {
        return false;
    }
    m_copies = printer.copyCount();
    m_fromPage = printer.fromPage();
    m_toPage = printer.toPage();
    m_minPage = dialog.minPage();
    m_maxPage = dialog.maxPage();
    return true;
}

bool clsCommonDialog::ShowColor() {
    // Each call starts from black with a custom-colour table of black, and keeps nothing of it.
    for (int i = 0; i < QColorDialog::customCount(); ++i) {
        QColorDialog::setCustomColor(i, QColor(0, 0, 0));
    }
    QColorDialog dialog(QColor(0, 0, 0), m_owner);
    const bool accepted = ui_prompts::ExecDialog(dialog);
    for (int i = 0; i < QColorDialog::customCount(); ++i) {
        QColorDialog::setCustomColor(i, QColor(0, 0, 0));
    }
    if (!accepted) {
        return false;
    }
    m_color = PackedRgb(dialog.currentColor());
    return true;
}

bool clsCommonDialog::ShowFont() {
    QFont initial(QStringLiteral("Times New Roman"));
    initial.setPointSize(12);
    initial.setWeight(QFont::Normal);
    QFontDialog dialog(initial, m_owner);
    if (!ui_prompts::ExecDialog(dialog)) {
        return false;
    }
    const QFont chosen = dialog.currentFont();
    double points = chosen.pointSizeF();
    if (points <= 0) {
        points = QFontInfo(chosen).pointSizeF();
    }
    // The Windows dialog takes sizes from 1 to 72 points only, in tenths of a point.
    const std::int32_t tenths = std::clamp(static_cast<std::int32_t>(qRound(points * 10.0)), 10, 720);
    m_fontName = chosen.family();
    m_fontColor = 0; // Qt's font dialog offers no colour: the text stays black
    m_fontSize = PointsFromTenths(tenths);
    m_charSet = 1; // no script chosen: the default character set
    m_italic = chosen.italic();
    m_underline = chosen.underline();
    m_strikeOut = chosen.strikeOut();
    m_fontBlob = chosen.weight() >= QFont::Bold;
    return true;
}

bool clsCommonDialog::ShowFind() {
    return false;
}

bool clsCommonDialog::ShowReplace() {
    return false;
}

bool clsCommonDialog::ShowPageSetup() {
    QPrinter printer;
    QPageSetupDialog dialog(&printer, m_owner);
    if (!ui_prompts::ExecDialog(dialog)) {
        return false;
    }
    const bool metric = QLocale::system().measurementSystem() == QLocale::MetricSystem;
    const QPageLayout::Unit unit = metric ? QPageLayout::Millimeter : QPageLayout::Inch;
    const double scale = metric ? 100.0 : 1000.0;
    const QPageLayout layout = printer.pageLayout();
    const QRectF paper = layout.fullRect(unit);
    const QMarginsF margins = layout.margins(unit);
    m_paperWidth = qRound(paper.width() * scale);
    m_paperHeight = qRound(paper.height() * scale);
    m_marginLeft = qRound(margins.left() * scale);
    m_marginTop = qRound(margins.top() * scale);
    m_marginRight = qRound(margins.right() * scale);
    m_marginBottom = qRound(margins.bottom() * scale);
    return true;
}
