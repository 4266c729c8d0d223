#include "ui/chrome/QtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace quillon::chrome {

bool installQtChineseTexts(QCoreApplication& app) {
    // Owned by the application, so it lives exactly as long as the texts it translates.
    auto* translator = new QTranslator(&app);
    // Named outright rather than from the desktop's locale: the program speaks Simplified
    // Chinese whatever the session's language is.
    if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                          QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace quillon::chrome
