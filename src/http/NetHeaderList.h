// TNetHeaderList: the header block of one HTTP message as an ordered list of lines
// "Name: value", with case-insensitive lookup by name, values continued on following lines
// (a continuation line starts with a space or a TAB), and folding of long values when they are
// set. It is also the plain name/value parameter list of the authentication objects.
//
// Lines keep insertion order and may repeat; indices start at 0. Every lookup is a linear scan;
// header blocks are small and nothing is cached. No operation raises on content: a missing name
// gives -1 or "", an index out of range gives "".
//
// Thread-safety: none; one list belongs to one message and one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/Classes.h"

class TNetHeaderList : public TStringList {
 public:
  TNetHeaderList() = default;

  // Written between name and value by SetHeader; reading looks only for it without its
  // trailing blanks (":").
  const std::string& Separator() const { return separator_; }
  void SetSeparator(std::string separator) { separator_ = std::move(separator); }
  // When false (the default), NameAt upper-cases the name (ASCII letters).
  bool CaseSensitiveNames() const { return case_sensitive_names_; }
  void SetCaseSensitiveNames(bool on) { case_sensitive_names_ = on; }
  // When true (the default), ValueAt joins the continuation lines that follow.
  bool UnfoldContinuations() const { return unfold_continuations_; }
  void SetUnfoldContinuations(bool on) { unfold_continuations_ = on; }
  // When true (the default), SetHeader drops old continuation lines and folds the new line.
  bool FoldOnSet() const { return fold_on_set_; }
  void SetFoldOnSet(bool on) { fold_on_set_ = on; }
  // Column at which SetHeader folds (78 by default).
  int FoldWidth() const { return fold_width_; }
  void SetFoldWidth(int width) { fold_width_ = width; }

  // The name of line `index`: the text before the ":" (no trimming; "" without a ":"),
  // upper-cased unless CaseSensitiveNames. "" for an index out of range.
  std::string NameAt(int index) const;
  // The value of line `index`: everything after the ":", continuation lines joined by one
  // blank, trimmed. "" for an index out of range.
  std::string ValueAt(int index) const;
  // Index of the first line whose name equals `name` ignoring case, or -1.
  int IndexOfHeader(std::string_view name) const;
  // ValueAt(IndexOfHeader(name)): "" when the header is absent.
  std::string HeaderValue(std::string_view name) const;
  // Sets, replaces in place (keeping the position) or, for an empty value, removes the first
  // header of that name together with its continuation lines. A new header goes to the end.
  void SetHeader(const std::string& name, const std::string& value);
  // Appends to `dest` the value of every line named `name`, in list order. No-op for nullptr.
  void CollectValues(std::string_view name, TStringList* dest) const;
  // The physical lines that one logical line "Name: value" folds into at FoldWidth, each
  // right-trimmed; continuation lines start with one space.
  std::vector<std::string> FoldText(const std::string& line) const;
  // Deletes the continuation lines that follow line `index`.
  void RemoveContinuations(int index);

  // True for a non-empty line that starts with a space or a TAB.
  static bool IsContinuationLine(std::string_view line);

 private:
  // 0-based offset of the separator (without its trailing blanks) in `line`, or npos.
  size_t SeparatorOffset(std::string_view line) const;

  std::string separator_ = ": ";
  bool case_sensitive_names_ = false;
  bool unfold_continuations_ = true;
  bool fold_on_set_ = true;
  int fold_width_ = 78;
};

// Wraps `line` into output lines joined by `break_text`: a line is cut only after one of
// `break_chars` once it passes `width` columns, never inside double quotes and never inside a
// double-byte character; a token longer than the width is not cut. A `break_text` already in
// the line counts as a cut. Blanks after a cut are not carried to the next line.
std::string WrapHeaderText(std::string_view line, std::string_view break_text,
                           std::string_view break_chars, int width);
