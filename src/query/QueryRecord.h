// The query's model: its result fields with their names and captions, one finished run
// (TQueryRecord), and the number a field's text states. The window, the trend dialog, the
// command line and the history read a query through this header and query/Outcome.h alone:
// nothing here knows threads, connections or widgets.
//
// Plain values and pure functions: share freely between threads. Texts are GBK unless a name
// says UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "query/Outcome.h"
#include "services/ServiceTable.h"  // kQueryJobCount, TFetchMode: the definitions name them

// The result fields of the window, named after their labels, then the thumbnail.
// clang-format off
enum TResultField {
  rfSite1, rfSite2, rfSite3, rfSite4, rfSite5, rfSite6, rfSite7,  // pages indexed, per engine
  rfLink1, rfLink2, rfLink3, rfLink4, rfLink5, rfLink6, rfLink7,  // backlinks, per engine
  rfDmy1, rfDmy2, rfDmy3, rfDmy4, rfDmy5, rfDmy6,                 // indexed by period
  rfWebTitle,                                                     // home-page title
  rfAlexa1, rfAlexa2, rfAlexa3, rfAlexa4, rfAlexa5, rfAlexa6,     // site panel values
  rfPicture,                                                      // the thumbnail ("Image1")
};
// clang-format on
// The fields that hold a text: rfSite1 .. rfAlexa6. The picture comes after them.
inline constexpr int kTextFieldCount = rfPicture;
static_assert(kTextFieldCount == 27 && rfWebTitle == 20 && rfAlexa6 == 26,
              "the window has 27 text fields; stored files name them, never number them");

// The label name of a field ("Site1", "WebTitle", "Image1" for the picture), as the window,
// the definitions, the history and the command line name it; "" for a value that is none.
const char* ResultFieldName(TResultField field);
// The field a label name names ("Image1" included); nothing for a name that is none.
std::optional<TResultField> ResultFieldByName(const std::string& name);
// A field's caption as people read it: "百度收录", "Alexa排名", "网站标题", "缩略图".
std::string ResultFieldCaption(TResultField field);
// A field's caption under `table`: its definition's own caption ("360", "Tranco排名"), else
// ResultFieldCaption. GBK.
std::string FieldCaption(const TServiceTable& table, TResultField field);

// The 27 text fields in window order (rfSite1 .. rfAlexa6).
const std::vector<TResultField>& AllTextFields();
// The seven engines' index counts (rfSite1 .. rfSite7), the "全部收录" view.
const std::vector<TResultField>& IndexCountFields();

// The seven engines and six periods as the window's captions name them (UTF-8).
inline constexpr const char8_t* kEngineNames[7] = {u8"百度", u8"谷歌", u8"雅虎", u8"搜搜",
                                                   u8"搜狗", u8"有道", u8"必应"};
inline constexpr const char8_t* kPeriodNames[6] = {u8"百度当天收录", u8"百度本月收录",
                                                   u8"百度一年收录", u8"谷歌当天收录",
                                                   u8"谷歌本月收录", u8"谷歌一年收录"};

// One finished run: the site asked about, when it started, and what every field and the
// thumbnail ended with.
struct TQueryRecord {
  std::string Site;
  int64_t StartedUnixMs = 0;  // wall-clock time the run started
  // The built-in set of definitions the run used, or the one its user's file lays over
  // ("classic", "current"): values of two sets are not one series.
  std::string ServiceSet = "classic";
  std::array<TFieldResult, kTextFieldCount> Fields;
  TFieldResult Picture;

  // The result of any field, the picture included.
  const TFieldResult& Result(TResultField field) const {
    return field == rfPicture ? Picture : Fields[field];
  }
};

// The number in a field's text, or nothing when the text is not one: digits with thousands
// commas ("1,234", " 567 "), the first of a ratio ("77/100"), seconds with either decimal mark
// ("0.5 秒"). The title, dates and mixed text give nothing.
std::optional<double> FieldNumber(TResultField field, const std::string& text);
