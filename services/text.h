// Text forms shared by the job's readers: the base64 of HTTP Basic
// credentials and the "${NAME}" references that take a secret from the
// environment.
#pragma once

#include <string>

// Replaces each "${NAME}" in text (NAME: letters, digits and "_", not
// starting with a digit) by the environment variable NAME; any other "$" is
// kept. False, with missing set to the first variable that is not set.
bool expand_variables(const std::string& text, std::string& expanded, std::string& missing);

// True when text holds a "${NAME}" reference that expand_variables replaces.
bool names_variable(const std::string& text);

// Standard base64 with "=" padding.
std::string base64_text(const std::string& bytes);
