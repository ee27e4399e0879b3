#pragma once
// The standard dialogs (open, save, print, colour, font, page setup) behind one object whose
// properties carry the request in and the user's choice out. Every Show... returns true only when the
// user confirmed; a cancelled dialog leaves every output property as it was after the last confirmed
// one. The open and save dialogs go through ui_prompts, so a test can answer them in advance.
//
// Filter is stored in the converted form the Windows dialogs take: "字体文件 (*.ttf)|*.ttf" is kept as
// "字体文件 (*.ttf)" NUL "*.ttf" NUL, and NameFiltersFromStoredFilter turns that back into the
// "字体文件 (*.ttf)" name filter that the dialog lists.
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdint>

class QWidget;

class clsCommonDialog {
public:
    // Open dialog; a name that does not exist is accepted. FileName and FileTitle change only on true.
    bool ShowOpen();

    QString Filter() const { return m_filter; }
    void SetFilter(const QString& filter);
    std::int32_t Flags() const { return m_flags; } // kept for callers; Qt's dialogs take no flag word
    void SetFlags(std::int32_t flags) { m_flags = flags; }
    QString DialogTitle() const { return m_dialogTitle; } // empty: the platform's own title
    void SetDialogTitle(const QString& title) { m_dialogTitle = title; }
    QString InitDir() const { return m_initDir; } // empty: the platform chooses
    void SetInitDir(const QString& dir) { m_initDir = dir; }
    QString FileTitle() const { return m_fileTitle; } // "a.mp3": the chosen file's name alone
    void SetFileTitle(const QString& title) { m_fileTitle = title; }
    QString FileName() const { return m_fileName; } // the chosen file's full path, native separators
    void SetFileName(const QString& name) { m_fileName = name; }
    QWidget* hwnd() const { return m_owner; } // owner of every dialog; nullptr means none
    void SetHwnd(QWidget* owner) { m_owner = owner; }
    std::intptr_t Instance() const { return m_instance; } // kept for callers; nothing uses it here
    void SetInstance(std::intptr_t instance) { m_instance = instance; }

    // Save dialog; an existing file is accepted at once, without a question.
    bool ShowSave();

    // Print dialog. Copies and the page numbers go in as 16-bit values and come back on true.
    bool ShowPrint();
    std::int32_t Copies() const { return m_copies; }
    void SetCopies(std::int32_t value) { m_copies = value; }
    std::int32_t FromPage() const { return m_fromPage; }
    void SetFromPage(std::int32_t value) { m_fromPage = value; }
    std::int32_t ToPage() const { return m_toPage; }
    void SetToPage(std::int32_t value) { m_toPage = value; }
    std::int32_t MaxPage() const { return m_maxPage; }
    void SetMaxPage(std::int32_t value) { m_maxPage = value; }
    std::int32_t MinPage() const { return m_minPage; }
    void SetMinPage(std::int32_t value) { m_minPage = value; }

    // Colour dialog, starting from black; Color is 0x00BBGGRR as the Windows RGB() macro packs it.
    bool ShowColor();
    std::int32_t Color() const { return m_color; }
    void SetColor(std::int32_t value) { m_color = value; }

    // Font dialog, always starting from Times New Roman 12 pt regular; the font properties are outputs.
    bool ShowFont();
    QString FontName() const { return m_fontName; }
    void SetFontName(const QString& name) { m_fontName = name; }
    std::int32_t FontColor() const { return m_fontColor; }
    void SetFontColor(std::int32_t value) { m_fontColor = value; }
    std::int32_t FontSize() const { return m_fontSize; } // whole points, a half rounded to even
    void SetFontSize(std::int32_t value) { m_fontSize = value; }
    std::int32_t CharSet() const { return m_charSet; }
    void SetCharSet(std::int32_t value) { m_charSet = value; }
    bool Italic() const { return m_italic; }
    void SetItalic(bool value) { m_italic = value; }
    bool StrikeOut() const { return m_strikeOut; }
    void SetStrikeOut(bool value) { m_strikeOut = value; }
    bool Underline() const { return m_underline; }
    void SetUnderline(bool value) { m_underline = value; }
    bool FontBlob() const { return m_fontBlob; } // bold: weight 700 or more
    void SetFontBlob(bool value) { m_fontBlob = value; }

    // No find or replace dialog is offered: both return false and show nothing.
    bool ShowFind();
    bool ShowReplace();

    // Page-setup dialog; sizes in the platform's default page-setup units: hundredths of a millimetre
    // under a metric locale, thousandths of an inch otherwise.
    bool ShowPageSetup();
    std::int32_t PaperWidth() const { return m_paperWidth; }
    void SetPaperWidth(std::int32_t value) { m_paperWidth = value; }
    std::int32_t PaperHeight() const { return m_paperHeight; }
    void SetPaperHeight(std::int32_t value) { m_paperHeight = value; }
    std::int32_t MarginLeft() const { return m_marginLeft; }
    void SetMarginLeft(std::int32_t value) { m_marginLeft = value; }
    std::int32_t MarginTop() const { return m_marginTop; }
    void SetMarginTop(std::int32_t value) { m_marginTop = value; }
    std::int32_t MarginRight() const { return m_marginRight; }
    void SetMarginRight(std::int32_t value) { m_marginRight = value; }
    std::int32_t MarginBottom() const { return m_marginBottom; }
    void SetMarginBottom(std::int32_t value) { m_marginBottom = value; }

    // --- Conversions, public so that tests and callers can check what a dialog will list ---
    // "a|b|c" -> "a" NUL "b" NUL "c" NUL: every "|" becomes NUL in one pass, then one NUL is added.
    static QString ConvertFilter(const QString& filter);
    // The stored form back into (description, pattern) pairs. The list ends at the first empty text
    // ("a|b||c|d" lists only a), where the Windows dialog sees its double NUL; a trailing
    // description without a pattern is dropped.
    static QList<QPair<QString, QString>> FilterPairsFromStoredFilter(const QString& stored);
    // The pairs as Qt name filters: "背景音乐文件 (*.mp3)" stays as it is because it already names its
    // pattern; "Music" with "*.mp3;*.wav" becomes "Music (*.mp3 *.wav)".
    static QStringList NameFiltersFromStoredFilter(const QString& stored);
    // A size in tenths of a point to whole points, a half going to the even neighbour: 105 -> 10, 115 -> 12.
    static std::int32_t PointsFromTenths(std::int32_t tenths);

private:
    bool ShowFileDialog(bool save);

    QString m_filter;
    std::int32_t m_flags = 0;
    QString m_dialogTitle;
    QString m_initDir;
    QString m_fileTitle;
    QString m_fileName;
    QWidget* m_owner = nullptr;
    std::intptr_t m_instance = 0;
    std::int32_t m_copies = 0;
    std::int32_t m_fromPage = 0;
    std::int32_t m_toPage = 0;
    std::int32_t m_maxPage = 0;
    std::int32_t m_minPage = 0;
    std::int32_t m_color = 0;
    QString m_fontName;
    std::int32_t m_fontColor = 0;
    std::int32_t m_fontSize = 0;
    std::int32_t m_charSet = 0;
    bool m_italic = false;
    bool m_strikeOut = false;
    bool m_underline = false;
    bool m_fontBlob = false;
    std::int32_t m_paperWidth = 0;
    std::int32_t m_paperHeight = 0;
    std::int32_t m_marginLeft = 0;
    std::int32_t m_marginTop = 0;
    std::int32_t m_marginRight = 0;
    std::int32_t m_marginBottom = 0;
};
