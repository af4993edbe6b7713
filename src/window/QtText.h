// What the window and its dialogs share of text and type: the conversions between the program's
// GBK texts and Qt's strings, the CJK font, the grey of the marks that stand where no value is,
// and the names of the seven engines and six periods as the window shows them.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <string>
#include <string_view>

#include "runtime/CodePage.h"

// A CJK sans face that every Linux desktop can install.
inline constexpr const char* kFontFamily = "WenQuanYi Micro Hei";
// Marks that stand where no value is: pending, failed, stopped, switched off.
inline const QColor kGrey(128, 128, 128);

inline constexpr const char8_t* kEngineNames[7] = {u8"百度", u8"谷歌", u8"雅虎", u8"搜搜",
                                                   u8"搜狗", u8"有道", u8"必应"};
inline constexpr const char8_t* kPeriodNames[6] = {u8"百度当天收录", u8"百度本月收录",
                                                   u8"百度一年收录", u8"谷歌当天收录",
                                                   u8"谷歌本月收录", u8"谷歌一年收录"};

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
