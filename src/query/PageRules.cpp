#include "query/PageRules.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "regex/RegexEngine.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

// Every byte of s is a digit or a comma.
bool OnlyDigitsAndCommas(std::string_view s) {
  for (char c : s)
    if (c != ',' && (c < '0' || c > '9')) return false;
  return true;
}

}  // namespace

std::optional<std::string> FindBetween(const std::string& page, const std::string& start,
                                       const std::string& end) {
  if (start.empty() || end.empty()) return std::nullopt;
  const size_t s = page.find(start);
  if (s == std::string::npos) return std::nullopt;
  const size_t from = s + start.size();
  const size_t e = page.find(end, from);
  if (e == std::string::npos) return std::nullopt;
  return page.substr(from, e - from);
}

std::string TextBetween(const std::string& page, const std::string& start, const std::string& end) {
  if (auto between = FindBetween(page, start, end)) return *between;
  // No end after start: an end delimiter that occurs only before a start that is there still
  // counts as present, and that gives the empty text rather than "0".
  if (start.empty() || end.empty()) return "0";
  const bool both = page.find(start) != std::string::npos && page.find(end) != std::string::npos;
  return both ? std::string() : std::string("0");
}

std::string DigitsOnly(const std::string& text) {
  return OnlyDigitsAndCommas(Trim(text)) ? text : std::string("0");
}

std::string TrimSuffix(const std::string& text, const std::string& suffix) {
  if (suffix.empty() || suffix.size() > text.size()) return text;
  const size_t tail = text.size() - suffix.size();
  if (ByteType(text, tail) == mbTrailByte) return text;
  if (!AnsiSameText(std::string_view(text).substr(tail), suffix)) return text;
  return text.substr(0, tail);
}

namespace {

using TJson = nlohmann::json;

// What a JSON step reads of a page: nesting deeper than kJsonMaxDepth refuses the page (no
// service answers that deep, and a value that deep would need a stack as deep to copy, compare or
// print), and the member a pointer picks may hold at most kJsonMaxValues values. The rest of the
// page is walked through without being kept, so a step costs the page's text and the member it
// picks, however large the page.
constexpr size_t kJsonMaxDepth = 256;
constexpr size_t kJsonMaxValues = size_t{1} << 18;

// A SAX pass over a JSON text that keeps only the value at one JSON Pointer (the last of them
// where an object repeats a name, as a parsed document would keep it).
class TJsonPick {
 public:
  // Raises nlohmann's parse_error for a text that is no JSON Pointer.
  explicit TJsonPick(const std::string& pointer_utf8) {
    TJson::json_pointer pointer(pointer_utf8);
    for (; !pointer.empty(); pointer.pop_back()) tokens_.insert(tokens_.begin(), pointer.back());
  }

  // The value at the pointer in `utf8`; nothing when the text is no JSON, nests too deep, or the
  // member is missing, null or too large.
  std::optional<TJson> Pick(const std::string& utf8) {
    if (!TJson::sax_parse(utf8, this) || !picked_ || picked_->is_null()) return std::nullopt;
    return std::move(picked_);
  }

  // nlohmann's SAX interface.
  bool null() { return Scalar(nullptr); }
  bool boolean(bool value) { return Scalar(value); }
  bool number_integer(TJson::number_integer_t value) { return Scalar(value); }
  bool number_unsigned(TJson::number_unsigned_t value) { return Scalar(value); }
  bool number_float(TJson::number_float_t value, const TJson::string_t&) { return Scalar(value); }
  bool string(TJson::string_t& value) { return Scalar(std::move(value)); }
  bool binary(TJson::binary_t&) { return false; }  // never in JSON text
  bool start_object(std::size_t) { return Open(false); }
  bool start_array(std::size_t) { return Open(true); }
  bool key(TJson::string_t& name) {
    frames_.back().Key = name;
    return true;
  }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&, const TJson::exception&) { return false; }

 private:
  // An array or object the pass is inside.
  struct TFrame {
    bool Array = false;
    bool OnPath = false;    // its own place is a prefix of the pointer
    size_t Index = 0;       // an array's next element
    std::string Key;        // an object's member being read
    TJson* Kept = nullptr;  // where its members go: inside the picked value, else nowhere
  };

  // The value starting now sits on the pointer's path.
  bool StartsOnPath() const {
    if (frames_.empty()) return true;
    const TFrame& parent = frames_.back();
    const size_t depth = frames_.size();
    if (!parent.OnPath || depth > tokens_.size()) return false;
    const std::string& token = tokens_[depth - 1];
    return parent.Array ? token == std::to_string(parent.Index) : token == parent.Key;
  }

  // Keeps a starting value where it belongs (nowhere, as the pick, or inside it); false when the
  // pick grows past its limit. `kept` is where it went.
  bool Keep(TJson&& value, bool on_path, TJson*& kept) {
    kept = nullptr;
    TFrame* parent = frames_.empty() ? nullptr : &frames_.back();
    if (parent != nullptr && parent->Kept != nullptr) {
      if (++kept_values_ > kJsonMaxValues) return false;
      kept = parent->Array ? &parent->Kept->emplace_back(std::move(value))
                           : &((*parent->Kept)[parent->Key] = std::move(value));
    } else if (on_path && frames_.size() == tokens_.size()) {
      kept_values_ = 1;
      picked_ = std::move(value);
      kept = &*picked_;
    }
    return true;
  }

  // A value has ended: an array moves on to its next element.
  bool Ended() {
    if (!frames_.empty() && frames_.back().Array) ++frames_.back().Index;
    return true;
  }

  bool Scalar(TJson value) {
    TJson* kept = nullptr;
    return Keep(std::move(value), StartsOnPath(), kept) && Ended();
  }

  bool Open(bool array) {
    if (frames_.size() >= kJsonMaxDepth) return false;
    const bool on_path = StartsOnPath();
    TJson* kept = nullptr;
    if (!Keep(array ? TJson::array() : TJson::object(), on_path, kept)) return false;
    frames_.push_back(TFrame{array, on_path, 0, {}, kept});
    return true;
  }

  bool Close() {
    frames_.pop_back();
    return Ended();
  }

  std::vector<std::string> tokens_;  // the pointer's reference tokens, unescaped
  std::vector<TFrame> frames_;       // outermost first; never deeper than kJsonMaxDepth
  std::optional<TJson> picked_;
  size_t kept_values_ = 0;
};

// The member of a JSON text at `pointer` (GBK in and out); nothing for a text that is not JSON,
// nests too deep, a member that is missing, null or too large.
std::optional<TJson> JsonAt(const std::string& gbk, const std::string& pointer) {
  try {
    return TJsonPick(GbkToUtf8(pointer)).Pick(GbkToUtf8(gbk));
  } catch (const std::exception&) {  // a pointer that is none
    return std::nullopt;
  }
}

// A JSON value as the text a step goes on with: a text as it stands, anything else as JSON.
std::string JsonText(const TJson& value) {
  const std::string utf8 = value.is_string()
                               ? value.get<std::string>()
                               : value.dump(-1, ' ', false, TJson::error_handler_t::replace);
  return Utf8ToGbk(utf8);
}

// The element of the array at `array` whose member at `member` is the greatest (texts such as
// "2024-05-01" compare as text, numbers as numbers); nothing for an empty array or none.
std::optional<std::string> NewestOf(const std::string& gbk, const std::string& array,
                                    const std::string& member) {
  const std::optional<TJson> list = JsonAt(gbk, array);
  if (!list || !list->is_array()) return std::nullopt;
  const TJson* newest = nullptr;
  try {
    const TJson::json_pointer key(GbkToUtf8(member));
    for (const TJson& item : *list) {
      if (!item.contains(key) || item.at(key).is_null()) continue;
      if (newest == nullptr || newest->at(key) < item.at(key)) newest = &item;
    }
  } catch (const std::exception&) {  // a member pointer that is none
    return std::nullopt;
  }
  if (newest == nullptr) return std::nullopt;
  return JsonText(*newest);
}

// A time stamp read by `format` (%Y four digits; %m %d %H %M %S two; "%%" a "%"; any other
// character itself) as "YYYY-MM-DD"; nothing when the text does not follow the format or
// names no real day.
std::optional<std::string> DateOf(const std::string& text, const std::string& format) {
  const std::string stamp = Trim(text);
  int year = 0, month = 0, day = 0, ignored = 0;
  size_t at = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    const char want = format[i];
    if (want == '%' && i + 1 < format.size() && format[i + 1] != '%') {
      const char d = format[++i];
      const size_t width = d == 'Y' ? 4 : 2;
      if (at + width > stamp.size()) return std::nullopt;
      int n = 0;
      for (size_t k = 0; k < width; ++k) {
        const char c = stamp[at + k];
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
      }
      (d == 'Y' ? year : d == 'm' ? month : d == 'd' ? day : ignored) = n;
      at += width;
      continue;
    }
    if (want == '%') ++i;  // "%%"
    if (at >= stamp.size() || stamp[at] != want) return std::nullopt;
    ++at;
  }
  if (at != stamp.size()) return std::nullopt;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return std::nullopt;
  char out[48];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d", year, month, day);
  return std::string(out);
}

// One step over text; false where it finds nothing (`over_budget`: a rule's search ran out of
// steps).
bool ApplyStep(const TStep& step, const std::string& site_name, std::string& text,
               bool& over_budget) {
  switch (step.Kind) {
    case TStepKind::Between:
    case TStepKind::BetweenSite: {
      const auto between = step.Kind == TStepKind::Between
                               ? FindBetween(text, step.A, step.B)
                               : FindBetween(text, step.A + site_name + step.B, step.C);
      if (!between) return false;
      text = *between;
      return true;
    }
    case TStepKind::Remove:
      text = ReplaceAll(text, step.A, "");
      return true;
    case TStepKind::DigitsOnly:
      return OnlyDigitsAndCommas(Trim(text));
    case TStepKind::Rule: {
      int error = 0;
      text = ExtractByRule(text, step.A, &error);
      over_budget = error == reStepLimitExceeded;
      return !text.empty();
    }
    case TStepKind::Append:
      text += step.A;
      return true;
    case TStepKind::Json:
    case TStepKind::Newest:
    case TStepKind::Date: {
      std::optional<std::string> found;
      if (step.Kind == TStepKind::Json) {
        if (const auto value = JsonAt(text, step.A)) found = JsonText(*value);
      } else {
        found =
            step.Kind == TStepKind::Newest ? NewestOf(text, step.A, step.B) : DateOf(text, step.A);
      }
      if (!found) return false;
      text = std::move(*found);
      return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> ApplyRules(const std::string& page, const std::vector<TStepList>& rules,
                                      const std::string& site_name,
                                      const std::function<void(const TStepTrace&)>& trace) {
  for (size_t list = 0; list < rules.size(); ++list) {
    std::string text = page;
    bool found = true;
    for (size_t step = 0; step < rules[list].size() && found; ++step) {
      bool over_budget = false;
      found = ApplyStep(rules[list][step], site_name, text, over_budget);
      if (trace) trace(TStepTrace{list, step, found, over_budget, found ? text : std::string()});
    }
    if (found && !text.empty()) return text;
  }
  return std::nullopt;
}

namespace {

// "[参数" + one or two digits + "]" in an output template, for ReplaceByPattern.
const std::string& TemplatePlaceholderPattern() {
  static const std::string pattern = "\\[" + Gbk(u8"参数") + "([0-9]{1,2})\\]";
  return pattern;
}

}  // namespace

namespace {

std::string Extract(const std::string& page, const std::string& rule, unsigned char all_matches,
                    const std::string& separator, bool template_mode,
                    const std::string& template_rule, const std::string& output_template,
                    int* error_code) {
  std::string result;
  if (page.empty()) return result;
  const std::string working = RulePattern(template_mode ? template_rule : rule);
  if (working.empty()) return result;

  // Whatever goes wrong here (an invalid rule, a search that runs out of budget) only ends the
  // extraction; what was collected so far stays.
  try {
    TRegexEngine engine;
    engine.SetExpression(working);
    engine.SetModifier(1, true);  // modifier 1 is i: letter case ignored
    if (engine.Exec(page)) {
      // Chosen once, from the first match: the first group if any group took part.
      const int group = engine.LastMatchedGroup() >= 1 ? 1 : 0;
      const bool all = all_matches == 1;
      if (!template_mode) {
        if (!all) {
          result = engine.MatchText(group);
        } else {
          do {
            result += engine.MatchText(group);
            result += separator;
          } while (engine.ExecNext());
        }
      } else {
        const std::string item_template =
            ReplaceByPattern(TemplatePlaceholderPattern(), output_template, "\\$$1", true);
        if (!all) {
          result = engine.ExpandTemplate(item_template);
        } else {
          const std::string number_placeholder = Gbk(u8"[序号]");
          int64_t counter = 1;
          do {
            result += ReplaceAll(engine.ExpandTemplate(item_template), number_placeholder,
                                 IntToStr(counter));
            result += separator;
            ++counter;
          } while (engine.ExecNext());
        }
      }
    }
  } catch (const ERegexError& e) {
    if (error_code) *error_code = e.Code;
  } catch (...) {
  }
  if (!separator.empty()) result = TrimSuffix(result, separator);
  return result;
}

}  // namespace

std::string ExtractByRule(const std::string& page, const std::string& rule,
                          unsigned char all_matches, const std::string& separator, bool template_mode,
                          const std::string& template_rule, const std::string& output_template) {
  return Extract(page, rule, all_matches, separator, template_mode, template_rule, output_template,
                 nullptr);
}

std::string ExtractByRule(const std::string& page, const std::string& rule, int* error_code) {
  if (error_code) *error_code = 0;
  return Extract(page, rule, 0, "|||", false, "", "", error_code);
}
