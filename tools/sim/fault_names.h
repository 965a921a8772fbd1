#pragma once
// Text names of fault steps and kinds, as the command line and the reports spell them:
// STEP[:K]:KIND[:MS], for example "sync:no-reply", "image1-chunk:3:gone", "finish:delay:800".

#include <optional>
#include <string>
#include <string_view>

#include "tools/sim/instrument_engine.h"

namespace klv::sim {

std::string_view FaultStepName(FaultStep step);
std::string_view FaultKindName(FaultKind kind);
// What the instrument sends at the step, as in "the sync reply".
std::string_view FaultStepDescription(FaultStep step);
bool FaultStepHasIndex(FaultStep step);
std::string FaultName(const Fault& fault);

// Parses STEP[:K]:KIND[:MS]. On failure returns nothing and says why in *error.
std::optional<Fault> ParseFault(std::string_view text, std::string* error);

// One line per step and per kind, for help texts.
std::string FaultNamesHelp();

}  // namespace klv::sim
