// What the window and its dialogs share of text and type: the conversions between the program's
// GBK texts and Qt's strings, the CJK font, and the grey of the marks that stand where no value
// is. The names of the engines, periods and fields are the query model's (query/QueryRecord.h).
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <string>
#include <string_view>

#include "query/QueryRecord.h"
#include "runtime/CodePage.h"

// A CJK sans face that every Linux desktop can install.
inline constexpr const char* kFontFamily = "WenQuanYi Micro Hei";
// Marks that stand where no value is: pending, failed, stopped, switched off.
inline const QColor kGrey(128, 128, 128);


inline QString FromGbk(std::string_view gbk) { return QString::fromStdString(GbkToUtf8(gbk)); }
inline QString FromUtf8(const char8_t* text) {
  return QString::fromUtf8(reinterpret_cast<const char*>(text));
}
inline std::string ToGbk(const QString& text) { return Utf8ToGbk(text.toStdString()); }

inline QFont MakeFont(int pixels, bool bold = false) {
  QFont font(kFontFamily);
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}
