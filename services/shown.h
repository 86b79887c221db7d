// How texts from outside (the network, the settings file, the environment)
// reach standard error and the settings check's output: the one place that
// shapes them, so that no server or settings file can write to the
// terminal or hide a line, and no password shows.
#pragma once

#include <cstddef>
#include <string>

// The longest outside text shown; a longer one is cut there and "..." added.
inline constexpr std::size_t kLongestShown = 200;

// text with every control byte (0-31, 127, and on POSIX 128-159, which a
// terminal may read as a control sequence) written as \xHH, and cut after
// longest bytes with "...".
std::string shown(const std::string& text, std::size_t longest = kLongestShown);

// A Site, URL or Location as shown() shows it, whatever stands before an
// "@" ahead of its path, query or fragment (a user name and password)
// written as "...".
std::string shown_url(const std::string& text);
