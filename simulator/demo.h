// The built-in demo: the scenario that runs when no scenario is given (simulator/demo.scenario).
#pragma once

namespace simulator {

extern const char* const kDemoScenario;

}  // namespace simulator
