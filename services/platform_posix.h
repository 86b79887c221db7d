// What the POSIX backend files share with each other (and with tests).
#pragma once

// The error number for an errno value; creating tells a missing directory
// on the path (76) from a missing file (53).
int map_errno(int value, bool creating);
