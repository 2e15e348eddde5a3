#pragma once
#include <string>
#include <vector>

// Tracker URLs grouped in tiers, in the order the announce list holds them: a client tries the
// URLs of one tier before it moves on to the next.
using tracker_tiers = std::vector<std::vector<std::string>>;
