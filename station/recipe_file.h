// Recipe files: a small JSON file an engineer makes once and operators only run. It names the
// images (paths relative to the file's folder) with the SHA-256 and size each had when the recipe
// was made, the link settings, a name and a revision. docs/station.md describes the keys.
#pragma once

#include <string>
#include <vector>

#include "station/station.h"

namespace station {

// The largest recipe file taken: a recipe is a few hundred bytes.
inline constexpr std::uint64_t kMaxRecipeFileSize = 1 << 20;

// Reads a recipe file: the recipe with its images' paths made absolute and its checksum (the
// SHA-256 of the file's bytes). False when the file cannot be read or is not a recipe (not JSON,
// a key unknown, missing or given twice, a value of the wrong type or out of range), with one line
// per problem, each naming the file, the line and the key. The images are not read here:
// loadRecipe checks them against their pins.
bool readRecipeFile(const std::string& path, Recipe* recipe, std::vector<std::string>* problems);

// Reads every image of the recipe and pins it (its SHA-256 and size). False with one line per
// image that cannot be read.
bool pinImages(Recipe& recipe, std::vector<std::string>* problems);

// The text of a recipe file placed in folder: the images' paths relative to it where they can be.
std::string recipeFileText(const Recipe& recipe, const std::string& folder);

}  // namespace station
