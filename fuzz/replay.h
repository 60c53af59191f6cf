// What a fuzz target's replay program is linked with besides the target:
// the writer of the target's seed inputs.
#pragma once

#include <filesystem>

// Writes the seed inputs of the target's corpus into dir; 0 on success.
int writeSeeds(const std::filesystem::path& dir);
