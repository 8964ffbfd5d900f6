// Fuzz entries for the firmware package: the INI reader, configuration
// loading from a package whose "QXCONFIG.INI" is the input, and archive
// access with the input as the package file. Each returns false when an
// invariant breaks; memory faults are left to the sanitizers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pelvane::package::fuzz {

bool FuzzProfile(std::span<const std::uint8_t> data);
bool FuzzConfiguration(std::span<const std::uint8_t> data);
bool FuzzArchive(std::span<const std::uint8_t> data);

// A small valid package (configuration, transfer program, one program file),
// as bytes: the starting point for generated archive inputs.
std::vector<std::uint8_t> SamplePackageBytes(const std::string& configuration);

}  // namespace pelvane::package::fuzz
