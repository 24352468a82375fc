// The outcome of one activation attempt.
#pragma once

#include <string>

struct LaunchResult {
    bool ok = false;
    std::wstring error; // empty when ok
};
