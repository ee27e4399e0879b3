#pragma once
// Qt's own texts (the file dialog, the text boxes' context menu, standard buttons) in Simplified
// Chinese, as a Chinese Windows shows its own dialogs. The catalogue (Qt's qtbase_zh_CN.qm) is
// compiled into the program, so the executable stays one self-contained file.

namespace qt_translations {

// Installs the catalogue into the running application and makes Chinese (China) Qt's default locale,
// whatever the system's language; a second call does nothing more. False when no application exists yet or the catalogue cannot be loaded,
// in which case Qt's English texts stay.
bool InstallChineseQtTranslations();

} // namespace qt_translations
