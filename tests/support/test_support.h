#pragma once

// Helpers every test program shares: case names for parameterised tables and the failure code
// that a call throws.

#include <gtest/gtest.h>

#include <exception>
#include <ostream>
#include <string>
#include <utility>

#include "core/failure.h"

namespace veltomarn::test {

// Names a table row after its `name` member.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// Prints a table row as its name in gtest's messages.
template <typename Case, typename = decltype(std::declval<const Case&>().name)>
void PrintTo(const Case& row, std::ostream* out) {
    *out << row.name;
}

// The failure code that `run` throws; "" when it returns; "not a Failure: <what>" for any other
// exception, so that a wrong exception type fails the comparison with an expected code.
template <typename Run>
std::string FailureCode(Run&& run) {
    try {
        run();
    } catch (const Failure& failure) {
        return failure.code();
    } catch (const std::exception& other) {
        return std::string("not a Failure: ") + other.what();
    }
    return "";
}

}  // namespace veltomarn::test
