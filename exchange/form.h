// Form variables: splitting a "name=value" entry and the URL encoding of
// values for the query of a GET request and the body of a form POST.
#pragma once

#include <string>

#include "services/bytes.h"

// One Vars entry split at its first "=".
struct FormVariable {
  std::string name;         // the bytes before the first "=" (the whole entry without one)
  std::string value;        // the bytes after the first "=" (empty without one)
  bool has_equals = false;  // the entry holds an "="
};

// Digits, ASCII letters and "-", ".", "_", "~" stay; a space becomes "+";
// every other byte becomes "%" and two upper-case hex digits. Never fails.
std::string encode_form_value(const std::string& value);

// Splits entry at its first "=": "a=b=c" gives a and b=c, "flag" gives the
// name flag with no "=", "=v" gives an empty name.
FormVariable split_form_entry(const std::string& entry);

// The entries joined with "&", each as its name and "=" exactly as written
// followed by the encoded value; an entry without "=" is its name alone.
// Empty for an empty list.
std::string form_string(const StringList& vars);
