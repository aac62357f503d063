// Each table of cases names the platforms that a case applies to, and is instantiated once per platform
// under that platform's name: "Linux/...", "Windows/...", "Wasi/...".
#pragma once

#include <ostream>
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

// The cases live in each file's unnamed namespace, which this header's joins: failure messages then
// name the case instead of dumping its bytes.
namespace {
template <typename Case, typename = decltype(Case::name)>
std::ostream& operator<<(std::ostream& out, const Case& each)
{
    return out << each.name;
}
}  // namespace
