// Linked into every test program: a rule of Windows that the simulated machine saw broken fails
// the running test, whichever test it is, unless that test's machine expects violations.
#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim_core.h"

namespace {

const bool kReporterInstalled = [] {
    sim::SetViolationReporter([](const std::string& what) {
        ADD_FAILURE() << "the simulated machine saw a rule of Windows broken: " << what;
    });
    return true;
}();

}  // namespace
