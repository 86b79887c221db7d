// The environment snapshot taken at start-up, and lookups in it: portable,
// over platform_environment(); the backends find the temporary directory in it.
#pragma once

#include <string>

// Takes the snapshot; called once at start-up.
void environment_snapshot();

// The value of the first entry whose name equals name without regard to the
// case of a to z; empty when there is none.
std::string environment_value(const std::string& name);

// The value of the variable named exactly name (letter case included):
// true when it is set, even to nothing.
bool environment_variable(const std::string& name, std::string& value);
