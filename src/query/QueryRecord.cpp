#include "query/QueryRecord.h"

#include <cstdlib>
#include <iterator>

#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

struct TFieldNames {
  const char* Name;        // the label's name
  const char8_t* Caption;  // what people call it
};

// Every field's names, in TResultField order.
constexpr TFieldNames kFields[] = {
    {"Site1", u8"百度收录"},     {"Site2", u8"谷歌收录"},     {"Site3", u8"雅虎收录"},
    {"Site4", u8"搜搜收录"},     {"Site5", u8"搜狗收录"},     {"Site6", u8"有道收录"},
    {"Site7", u8"必应收录"},     {"Link1", u8"百度反向链接"}, {"Link2", u8"谷歌反向链接"},
    {"Link3", u8"雅虎反向链接"}, {"Link4", u8"搜搜反向链接"}, {"Link5", u8"搜狗反向链接"},
    {"Link6", u8"有道反向链接"}, {"Link7", u8"必应反向链接"}, {"Dmy1", u8"百度当天收录"},
    {"Dmy2", u8"百度本月收录"},  {"Dmy3", u8"百度一年收录"},  {"Dmy4", u8"谷歌当天收录"},
    {"Dmy5", u8"谷歌本月收录"},  {"Dmy6", u8"谷歌一年收录"},  {"WebTitle", u8"网站标题"},
    {"Alexa1", u8"Alexa排名"},   {"Alexa2", u8"国内排名"},    {"Alexa3", u8"Google PR"},
    {"Alexa4", u8"搜狗评级"},    {"Alexa5", u8"百度快照"},    {"Alexa6", u8"访问速度"},
    {"Image1", u8"缩略图"},
};
static_assert(std::size(kFields) == rfPicture + 1, "names for every field and the picture");

bool Known(TResultField field) { return field >= rfSite1 && field <= rfPicture; }

// Digits with thousands commas, starting with a digit.
std::optional<double> Count(const std::string& s) {
  if (s.empty() || s[0] < '0' || s[0] > '9') return std::nullopt;
  double v = 0;
  for (char c : s) {
    if (c == ',') continue;
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// Digits with one optional decimal mark, '.' or ',' (the locale's mark of the load time).
std::optional<double> Decimal(const std::string& s) {
  size_t mark = s.find_first_of(".,");
  const std::string whole = s.substr(0, mark);
  const std::string fraction = mark == std::string::npos ? "" : s.substr(mark + 1);
  if (whole.empty() || whole.find_first_not_of("0123456789") != std::string::npos ||
      fraction.find_first_not_of("0123456789") != std::string::npos ||
      (mark != std::string::npos && fraction.empty())) {
    return std::nullopt;
  }
  return std::strtod((whole + "." + (fraction.empty() ? "0" : fraction)).c_str(), nullptr);
}

}  // namespace

const char* ResultFieldName(TResultField field) { return Known(field) ? kFields[field].Name : ""; }

std::optional<TResultField> ResultFieldByName(const std::string& name) {
  for (int f = rfSite1; f <= rfPicture; ++f) {
    if (name == kFields[f].Name) return static_cast<TResultField>(f);
  }
  return std::nullopt;
}

std::string ResultFieldCaption(TResultField field) {
  return Known(field) ? Gbk(kFields[field].Caption) : "";
}

std::string FieldCaption(const TServiceTable& table, TResultField field) {
  for (const TRequestDef& def : table.Requests) {
    if (def.Field == ResultFieldName(field) && !def.Caption.empty()) return def.Caption;
  }
  return ResultFieldCaption(field);
}

const std::vector<TResultField>& AllTextFields() {
  static const auto* const fields = [] {
    auto* all = new std::vector<TResultField>;
    for (int f = 0; f < kTextFieldCount; ++f) all->push_back(static_cast<TResultField>(f));
    return all;
  }();
  return *fields;
}

const std::vector<TResultField>& IndexCountFields() {
  static const auto* const fields =
      new std::vector<TResultField>{rfSite1, rfSite2, rfSite3, rfSite4, rfSite5, rfSite6, rfSite7};
  return *fields;
}

std::optional<double> FieldNumber(TResultField field, const std::string& text) {
  if (field == rfWebTitle || field == rfPicture) return std::nullopt;
  std::string t = Trim(text);
  static const std::string* const seconds = new std::string(Gbk(u8"秒"));
  if (t.size() > seconds->size() &&
      t.compare(t.size() - seconds->size(), seconds->size(), *seconds) == 0) {
    return Decimal(Trim(t.substr(0, t.size() - seconds->size())));
  }
  const size_t slash = t.find('/');
  if (slash != std::string::npos) {
    std::optional<double> of = Count(Trim(t.substr(slash + 1)));
    if (!of) return std::nullopt;
    return Count(Trim(t.substr(0, slash)));
  }
  return Count(t);
}
