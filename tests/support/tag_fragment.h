// A file's tag fragment as the form body carries it: collectTagFields'
// pairs written by the body's own writer, with room for the whole fragment.
#pragma once

#include <optional>
#include <string>

#include "report/form_body.h"
#include "tags/tag_fields.h"

namespace testing_support {

// The fragment's text; "<none>" when collectTagFields gives none.
inline std::string tagFragment(const std::optional<TagPairs>& pairs) {
  if (!pairs) return "<none>";
  std::string out(TAG_FRAGMENT_SIZE, '\0');
  out.resize(writeTagFragment(out.data(), TAG_FRAGMENT_SIZE - 1, *pairs));
  return out;
}

inline std::string tagFragment(const std::string& path) {
  return tagFragment(collectTagFields(path.c_str()));
}

}  // namespace testing_support
