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

// Prints a table row as its name in gtest's messages. In the unnamed namespace, which the test
// files' tables share, so that argument-dependent lookup finds it.
namespace {
template <typename Case>
requires requires(const Case& row) {
    row.name;
}
std::ostream& operator<<(std::ostream& out, const Case& row) {
    return out << row.name;
}
}  // namespace

}  // namespace veltomarn::test
