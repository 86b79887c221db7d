// What a job adds to its request, read from the settings file: header
// lines, HTTP Basic credentials, the upload files' parts and a Body file.
// Values may take secrets from the environment ("${NAME}"); no value ever
// goes into a refusal's words.
#pragma once

#include <string>

#include "exchange/request.h"
#include "services/bytes.h"

// Reads [Headers], User, Password, Body and Type of [URL], and the keys
// N.Field, N.Name and N.Type of [Files] for each of files, from the settings
// file file. The first rule a setting breaks goes into refused, naming the
// entry and the rule, never the value; refused is left as it is when it
// already holds one. method: the job's Method, upper-cased.
RequestOptions read_request_options(const std::string& file, const StringList& files, const std::string& method,
                                    std::string& refused);
