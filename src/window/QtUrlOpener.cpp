#include "window/QtUrlOpener.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include "runtime/CodePage.h"

void TQtUrlOpener::OpenUrl(const std::string& url) {
  QDesktopServices::openUrl(QUrl(QString::fromStdString(GbkToUtf8(url)), QUrl::TolerantMode));
}
