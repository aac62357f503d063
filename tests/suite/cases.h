// Each table of cases names the platforms that a case applies to, and is instantiated once per platform
// under that platform's name: "Linux/...", "Windows/...", "Wasi/...".
#pragma once

#include <string>
#include <vector>

#include "harness.h"

template <typename Case, size_t count>
std::vector<Case> cases_on(Platform platform, const Case (&table)[count])
{
    std::vector<Case> applying;
    for (const Case& each : table)
        if ((each.platforms & platform) != 0)
            applying.push_back(each);
    return applying;
}

// Names a parameterised test after its case.
struct CaseName {
    template <typename Param> std::string operator()(const testing::TestParamInfo<Param>& info) const
    {
        return info.param.name;
    }
};
